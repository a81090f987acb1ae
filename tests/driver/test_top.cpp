// The tool as a user runs it: exit statuses, messages, the results folder and
// the log, the environment, the cache folder and the modes that exist.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/owner_marks.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "driver/trel_options.h"
#include "driver/trel_top.h"
#include "runtime/zam_log.h"
#include "runtime/zam_owner.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_written.h"
#include "runtime/zam_version.h"

namespace {

// Whether the results folder's record covers the file at name in it as it
// is now: a purge would remove it.
bool recordedAsIs(const std::string& folder, const std::string& name) {
  std::vector<_zam_written_entry> lines;
  _zam_identity now{};
  if (!zam_readWritten(folder, &lines) || !zam_identityAt((folder + "/" + name).c_str(), &now)) return false;
  for (const _zam_written_entry& e : lines)
    if (e.kind == 'W' && e.path == name && zam_sameIdentity(e.id, now)) return true;
  return false;
}

namespace fs = std::filesystem;
using testutil::deadMark;
using testutil::foreignMark;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

// Runs the tool in folder cwd with only PATH and the given variables set.
Outcome run(const std::string& cwd, std::vector<std::string> args, std::vector<std::string> env = {}) {
  return testutil::run_trel(cwd, std::move(args), std::move(env));
}

// The log of a run as it was written: the numbered one its output names
// when the run failed, else the log under its own name (both from dir).
std::string logOf(const std::string& dir, const Outcome& r, const std::string& name = "trel_results/trel.log") {
  const std::string mark = "Log of this failed run: ";
  size_t at = r.out.rfind(mark);
  if (at == std::string::npos) return read_file(dir + "/" + name);
  at += mark.size();
  const std::string path = r.out.substr(at, r.out.find('\n', at) - at);
  return read_file(path[0] == '/' ? path : dir + "/" + path);
}

// The value of one row of the settings table in a log.
std::string row(const std::string& log, const std::string& label) {
  size_t at = log.find("\n" + label);
  if (at == std::string::npos) return "<missing>";
  at += 1 + 32;
  return log.substr(at, log.find('\n', at) - at);
}

TEST(Top, HelpAndVersionExitZero) {
  TempDir dir;
  Outcome help = run(dir.str(), {"-help", "-bogus"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, trel_usageText());
  EXPECT_EQ(run(dir.str(), {"--HELP"}).out, trel_usageText());
  set_version(5);
  Outcome version = run(dir.str(), {"-version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string(zam_version_only()) + "\n");
  EXPECT_FALSE(fs::exists(dir.file("trel_results")));  // nothing made before the end of parsing
}

// With nothing on the command line there is nothing to do: the usage text,
// status 1, and no results folder or log.
TEST(Top, BareRunShowsUsageAndMakesNothing) {
  TempDir dir;
  Outcome bare = run(dir.str(), {});
  EXPECT_EQ(bare.status, 1);
  EXPECT_EQ(bare.out, trel_usageText());
  EXPECT_TRUE(fs::is_empty(dir.path));
}

// A job name names files and folders inside the results folder, a database
// name its folder: one that would lead out of it, or lose its folder part,
// is refused before anything is made.
TEST(Top, JobAndDatabaseNamesThatAreNotPlainFileNamesAreRefused) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  for (const char* name : {"../..", "a/b", "..", ".", "x\\y", "zf/"}) {
    Outcome r = run(dir.str(), {std::string("-job=") + name, "-all"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_TRUE(has(r.out, std::string("*Error* The job name \"") + name + "\" (-job) is not a plain file name"))
        << r.out;
    Outcome b = run(dir.str(), {std::string("-build=") + name, "q.pdb"});
    EXPECT_EQ(b.status, 1) << name;
    EXPECT_TRUE(
        has(b.out, std::string("*Error* The database name \"") + name + "\" (-build) is not a plain file name"))
        << b.out;
  }
  fs::remove(dir.file("q.pdb"));
  Outcome env = run(dir.str(), {"-all"}, {"TREL_JOB=../x"});
  EXPECT_EQ(env.status, 1);
  EXPECT_TRUE(has(env.out, "*Error* The job name \"../x\" (TREL_JOB) is not a plain file name")) << env.out;
  EXPECT_TRUE(fs::is_empty(dir.path));
  // -job replaces the variable's value, so only its own is judged.
  Outcome replaced = run(dir.str(), {"-job=ok.1", "-all"}, {"TREL_JOB=../x"});
  EXPECT_FALSE(has(replaced.out, "job name")) << replaced.out;
  EXPECT_TRUE(has(replaced.out, "No target or database PDB files given")) << replaced.out;
}

TEST(Top, NoInputFilesFailsAfterLoggingBannersCommandLineAndSettings) {
  TempDir dir;
  Outcome r = run(dir.str(), {"-top=9", "-nosse"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, " starting at "));
  EXPECT_TRUE(has(r.out, "*Error* No target or database PDB files given. Exiting.\n"));
  // The log of a failed run is kept under a numbered name, and says so.
  EXPECT_TRUE(has(r.out, "Log of this failed run: ./trel_results/trel.log.1\n")) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results/trel.log")));
  std::string log = read_file(dir.file("trel_results/trel.log.1"));
  std::string rule78(78, '-');
  EXPECT_EQ(log.substr(0, 79), rule78 + "\n");
  EXPECT_TRUE(has(log, " log starting at "));
  EXPECT_TRUE(has(log, " log stopping at "));
  EXPECT_TRUE(has(log, std::string("\n") + TREL_BINARY + " -top=9 -nosse\n"));
  EXPECT_TRUE(has(log, "\nHostname:                       "));
  EXPECT_EQ(row(log, "Top matches to align:"), "9 (-top)");
  EXPECT_EQ(row(log, "Results folder:"), "./trel_results/");
  EXPECT_EQ(row(log, "Cache folder:"), "./");
  EXPECT_TRUE(has(log, "Using LOG file: ./trel_results/trel.log\n"));
  EXPECT_TRUE(has(log, "*Error* No target or database PDB files given. Exiting.\n"));
  EXPECT_FALSE(has(r.out, "\nHostname:"));  // the table goes to the log only
}

TEST(Top, LongCommandLinesAreBrokenInTheLog) {
  TempDir dir;
  std::string a(40, 'a'), b(40, 'b');
  std::string log = logOf(dir.str(), run(dir.str(), {"-job=" + a, "-job=" + b}));
  EXPECT_TRUE(has(log, " \\\n-job=" + b + "\n")) << log;
}

// A word the option reader refuses ends the whole run with status 1, after
// the start line (the reader's other refusals are checked on the reader).
TEST(Top, BadInputMessagesAndStatus) {
  TempDir dir;
  Outcome unknown = run(dir.str(), {"-bogus=3"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_TRUE(has(unknown.out, " starting at "));
  EXPECT_TRUE(has(unknown.out, "*Error* Option not recognised: bogus\n"));
  Outcome word = run(dir.str(), {"-nroc", "many"});
  EXPECT_EQ(word.status, 1);
  EXPECT_TRUE(has(word.out, "*Error* Option -nroc needs a whole number, not \"many\".\n"));
}

TEST(Top, EnvironmentSetsFoldersLogAndThreads) {
  TempDir dir;
  Outcome r = run(dir.str(), {"-single"}, {"TREL_CPUS=3", "TREL_RESULTS=out", "TREL_ROOT=/data", "TREL_JOB=j1"});
  EXPECT_EQ(r.status, 1);
  std::string log = logOf(dir.str(), r);
  EXPECT_EQ(row(log, "Compute threads:"), "3");
  EXPECT_EQ(row(log, "TREL_CPUS:"), "3");
  EXPECT_EQ(row(log, "TREL_ROOT:"), "/data");
  EXPECT_EQ(row(log, "TREL_RESULTS:"), "out");
  EXPECT_EQ(row(log, "TREL_JOB:"), "j1");
  EXPECT_EQ(row(log, "System folder:"), "/data/trel_database/");
  EXPECT_EQ(row(log, "Results folder:"), "out/");
  EXPECT_FALSE(fs::exists(dir.file("trel_results")));

  Outcome moved = run(dir.str(), {"-single"}, {"TREL_LOG=elsewhere.log", "TREL_CPUS=8x", "TREL_GPUS=two"});
  EXPECT_EQ(moved.status, 1);
  EXPECT_TRUE(has(moved.out, "Log of this failed run: elsewhere.log.1\n")) << moved.out;
  std::string log2 = logOf(dir.str(), moved);
  EXPECT_EQ(row(log2, "Compute threads:"), row(log2, "TREL_CPUS:"));  // a bad count gives the default
  EXPECT_EQ(row(log2, "TREL_GPUS:"), "1");
  EXPECT_EQ(row(log2, "Results folder:"), "./trel_results/");
  EXPECT_TRUE(fs::is_directory(dir.file("trel_results")));
  EXPECT_TRUE(fs::is_empty(dir.file("trel_results")));

  Outcome none = run(dir.str(), {"-single"}, {"TREL_CPUS=-2", "TREL_RESULTS=NULL", "TREL_LOG=n.log"});
  EXPECT_EQ(row(logOf(dir.str(), none), "Compute threads:"), "0");
  // An empty folder variable counts as unset: never the working folder itself.
  Outcome empty = run(dir.str(), {"-single"}, {"TREL_RESULTS="});
  EXPECT_EQ(row(logOf(dir.str(), empty), "Results folder:"), "./trel_results/");

  Outcome option_log = run(dir.str(), {"-log=opt.log"}, {"TREL_LOG=env.log"});
  EXPECT_TRUE(fs::exists(dir.file("opt.log.1")));
  EXPECT_FALSE(fs::exists(dir.file("env.log.1")));
}

// Without TREL_CPUS the compute threads are the processors the run may use:
// a run pinned to one processor gets one, whatever the machine holds.
TEST(Top, ComputeThreadsFollowTheProcessorsTheRunMayUse) {
  TempDir dir;
  cpu_set_t old, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof old, &old), 0);
  CPU_ZERO(&one);
  for (int c = 0; c < CPU_SETSIZE; c++)
    if (CPU_ISSET(c, &old)) {
      CPU_SET(c, &one);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // the child inherits it
  Outcome pinned = run(dir.str(), {"-single"});
  ASSERT_EQ(sched_setaffinity(0, sizeof old, &old), 0);
  EXPECT_EQ(pinned.status, 1);
  const std::string log = logOf(dir.str(), pinned);
  EXPECT_EQ(row(log, "TREL_CPUS:"), "1");
  EXPECT_EQ(row(log, "Compute threads:"), "1");
}

TEST(Top, OverlongFolderNamesAreRefused) {
  TempDir dir;
  Outcome r = run(dir.str(), {"-single"}, {"TREL_RESULTS=" + std::string(300, 'r')});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "*Error* The results folder (TREL_RESULTS) is longer than"));
  Outcome c = run(dir.str(), {"-cache"}, {"TREL_CACHE=" + std::string(300, 'c')});
  EXPECT_EQ(c.status, 1);
  EXPECT_TRUE(has(c.out, "*Error* The cache folder (TREL_CACHE) is longer than"));
  // An existing file whose name is too long, as query and as target: refused
  // before anything is read.
  std::string deep = dir.file(std::string(100, 'd') + "/" + std::string(100, 'e'));
  fs::create_directories(deep);
  std::string file = deep + "/" + std::string(80, 'f') + ".pdb";
  write_file(file, "END\n");
  write_file(dir.file("q.pdb"), "END\n");
  for (std::vector<std::string> args : {std::vector<std::string>{"-broken", file, "q.pdb"},
                                        std::vector<std::string>{"-broken", "q.pdb", file}}) {
    Outcome f = run(dir.str(), args);
    EXPECT_EQ(f.status, 1);
    EXPECT_TRUE(has(f.out, "*Error* The file name is longer than 256 characters: " + file.substr(0, 64) + "...\n"))
        << f.out;
    EXPECT_FALSE(fs::exists(dir.file("trel_results/q")));
  }
}

TEST(Top, NowriteAndServer) {
  TempDir dir;
  Outcome quiet = run(dir.str(), {"-nowrite"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_FALSE(has(quiet.out, " starting at "));
  EXPECT_FALSE(fs::exists(dir.file("trel_results/trel.log")));
  Outcome server = run(dir.str(), {"-server", "-log=s.log", "-purge"});
  EXPECT_EQ(server.status, 1);  // -purge is passed over; the search finds no files
  std::string log = read_file(dir.file("s.log.1"));
  EXPECT_EQ(row(log, "Results folder:"), "./");
  EXPECT_TRUE(has(log, "No target or database PDB files given"));
}

TEST(Top, CacheFolders) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  Outcome named = run(dir.str(), {"-cache", "q.pdb", "t.pdb"}, {"TREL_CACHE=" + dir.file("mycache")});
  EXPECT_EQ(named.status, 1);  // the two files hold no structure
  std::string log = logOf(dir.str(), named);
  EXPECT_EQ(row(log, "Cache folder:"), dir.file("mycache") + "/");
  EXPECT_TRUE(fs::is_directory(dir.file("mycache")));  // a named cache stays

  Outcome spf = run(dir.str(), {"-q3", "-imax=9", "q.pdb", "t.pdb"}, {"TREL_CACHE=NULL"});
  log = logOf(dir.str(), spf);
  EXPECT_EQ(row(log, "Cache folder:"), "./trel_cache/");
  EXPECT_EQ(row(log, "Database import order:"), "9");

  Outcome priv = run(dir.str(), {"-cache", "q.pdb", "t.pdb"});
  log = logOf(dir.str(), priv);
  std::string cache = row(log, "Cache folder:");
  ASSERT_EQ(cache.rfind("/tmp/trel_cache/", 0), 0u) << cache;
  EXPECT_FALSE(fs::exists(cache));  // the private folder goes with the run
  struct stat st;
  ASSERT_EQ(lstat("/tmp/trel_cache", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Top, ModesAndTheirMessages) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  write_file(dir.file("tlist.txt"), "t.pdb\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-delete"}, "*Error* No database given for -delete. Please use -db=<database>.\n"},
      {{"-list"}, "*Error* No database given for -list. Please use -db=<database>.\n"},
      {{"-extract=x"}, "*Error* No database given for -extract. Please use -db=<database>.\n"},
      {{"-list", "-db=cath40"}, "*Error* Failed to access DATABASE directory: ./trel_database/cath40_trel/\n"},
      {{"-score"}, "*Error* No source alignment files given. Exiting.\n"},
      {{"-preprocess"}, "*Error* No source files or directories given. Exiting.\n"},
      {{"-build=newdb"}, "*Error* Not enough source PDB structures given. Exiting.\n"},
      {{"-build=newdb", "-target=tlist.txt"},  // a -target list names sources too
       "*Error* No structure could be added to database ./trel_database/newdb_trel/ (1 source file skipped).\n"},
      // The database folders are made, and taken away again with the files
      // of a build that added no member (see below).
      {{"-build=newdb", "q.pdb"},
       "*Error* No structure could be added to database ./trel_database/newdb_trel/ (1 source file skipped).\n"},
      {{"-theor=q.pdb"}, "*Error* No residues in PDB file q.pdb: no theoretical models written.\n"},
      {{"-db=cath40", "q.pdb"}, "*Error* Failed to access DATABASE directory: ./trel_database/cath40_trel/\n"},
      {{"-ligand", "-db=cath40"}, "*Error* Cannot search a database in -ligand mode. Exiting.\n"},
      {{"-ligand", "-all"}, "*Error* Cannot do all-vs-all in -ligand mode. Exiting.\n"},
      {{"-ligand", "q.pdb", "t.pdb"}, "With -ligand, must give 1 query, 1 target, and 1 ligand PDB. Exiting.\n"},
      {{"-many", "q.pdb", "t.pdb"}, "*Error* No target or database PDB files given. Exiting.\n"},
      {{"-multi", "q.pdb", "t.pdb"},
       "Not enough target and database PDB files given for a multiple alignment (need > 1). Exiting.\n"},
      {{"-target=tlist.txt"}, "No query PDB files or query member specified. Exiting.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Outcome r = run(dir.str(), c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, c.message)) << r.out;
  }
  EXPECT_FALSE(fs::exists(dir.file("trel_database")));
  write_file(dir.file("list.txt"), "q.pdb\nt.pdb\n");
  // The first name of a -read list is the query and the rest targets; with
  // -all no query is needed. Both pass the checks and reach the search.
  for (std::vector<std::string> args : {std::vector<std::string>{"-read=list.txt"},
                                        std::vector<std::string>{"-all", "-target=tlist.txt"}}) {
    Outcome r = run(dir.str(), args);
    EXPECT_EQ(r.status, 1);  // the files hold no structure (or the search is not built)
    EXPECT_FALSE(has(r.out, "No target or database PDB files given")) << r.out;
    EXPECT_FALSE(has(r.out, "No query PDB files")) << r.out;
  }
}

TEST(Top, PurgeDeletesOnlyTheResultsFolderAndRunsAlone) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  ASSERT_EQ(run(dir.str(), {"-test", "q.pdb", "t.pdb"}).status, 0);
  ASSERT_EQ(run(dir.str(), {"-test", "q.pdb", "t.pdb"}).status, 0);  // a second log, the first set aside
  Outcome dummy = run(dir.str(), {"-purge", "-dummy", "-nolog"});
  EXPECT_EQ(dummy.status, 0);
  EXPECT_TRUE(fs::exists(dir.file("trel_results/alpha.pdb")));
  Outcome purge = run(dir.str(), {"-purge", "-list"});
  EXPECT_EQ(purge.status, 0) << purge.out;
  EXPECT_FALSE(has(purge.out, "-list"));
  EXPECT_FALSE(has(purge.out, "Keeping")) << purge.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results")));  // its logs, this run's own included
  // A refusal does not stop the run, but the run has failed: every run that
  // prints "*Error*" ends with status 1.
  Outcome refused = run(dir.str(), {"-clean", "-nolog"}, {"TREL_RESULTS=results_old"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(has(refused.out, "*Error* Results folder \"results_old/\" does not contain")) << refused.out;
  EXPECT_TRUE(has(refused.out, "Trel finished in a total of ")) << refused.out;
  EXPECT_TRUE(fs::is_directory(dir.file("results_old")));
  // A refused folder is left whole: no log of the purge goes into it.
  fs::create_directories(dir.file("trel_results.mine"));
  fs::create_directories(dir.file("trel_results"));
  for (const char* mine : {"trel_results.mine/notes.txt", "trel_results/.zam_written"}) write_file(dir.file(mine), "mine\n");
  for (const std::string folder : {"trel_results.mine", "trel_results"}) {
    Outcome kept = run(dir.str(), {"-purge"}, {"TREL_RESULTS=" + folder});
    EXPECT_EQ(kept.status, 1) << kept.out;
    EXPECT_TRUE(has(kept.out, "Please use the command line to delete the results folder")) << kept.out;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file(folder)), fs::directory_iterator()), 1) << folder;
  }
}

TEST(Top, TestModeWritesThreeIdealBackbones) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  Outcome r = run(dir.str(), {"-test", "q.pdb", "t.pdb"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Trel finished in a total of "));
  for (const char* name : {"alpha", "beta", "alpha_beta"}) {
    std::string pdb = read_file(dir.file(std::string("trel_results/") + name + ".pdb"));
    EXPECT_TRUE(has(pdb, "ATOM  ")) << name;
  }
  std::string ab = read_file(dir.file("trel_results/alpha_beta.pdb"));
  EXPECT_TRUE(has(ab, " C  40 ") || has(ab, "C  40")) << "40 residues in chain C";
}

TEST(Top, StdoutSwitchesAndDebugTable) {
  TempDir dir;
  // -nostdout hides messages, never errors: the error line reaches standard
  // error (and the log), the settings and other messages only the log.
  const std::string quietly = std::string("exec '") + TREL_BINARY + "' -nostdout -debug 2>&1 >/dev/null";
  Outcome quiet = testutil::run_program("/bin/sh", dir.str(), {"-c", quietly}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "*Error* No target or database PDB files given. Exiting.\n");
  const std::string log = read_file(dir.file("trel_results/trel.log.1"));
  EXPECT_TRUE(has(log, "*Error* No target or database PDB files given"));
  EXPECT_TRUE(has(log, "\nHostname:                       "));
  Outcome both = run(dir.str(), {"-nostdout", "-debug"});
  EXPECT_FALSE(has(both.out, "\nHostname:                       "));
  Outcome debug = run(dir.str(), {"-debug"});
  EXPECT_TRUE(has(debug.out, "\nHostname:                       "));
  Outcome fft = run(dir.str(), {"-verbose=2", "-q2"});
  EXPECT_TRUE(has(fft.out, "Twist  FFT step size: 5.60 deg. B=32, M=64.\n")) << fft.out;
}

// Each run's log is written whole under a name of its own: the log's name
// holds the last run that ended well, a failed run's log and any log found
// in the way are kept under numbered names, and a link standing at the
// log's name is neither written through nor moved.
TEST(Top, EachRunKeepsItsWholeLogAndNoLinkIsFollowed) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  auto whole = [](const std::string& log, const std::string& job) {
    return has(log, " log starting at ") && has(log, " log stopping at ") && has(log, " -job=" + job + " ");
  };
  ASSERT_EQ(run(dir.str(), {"-test", "-job=good", "q.pdb", "t.pdb"}).status, 0);
  Outcome failed = run(dir.str(), {"-job=failed", "q.pdb"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_TRUE(has(failed.out, "Log of this failed run: ./trel_results/trel.log.1\n")) << failed.out;
  EXPECT_TRUE(whole(read_file(dir.file("trel_results/trel.log")), "good"));
  EXPECT_TRUE(whole(read_file(dir.file("trel_results/trel.log.1")), "failed"));

  // Two runs at once into one folder: both logs are kept whole, the one
  // that ended last under the log's name.
  std::vector<Outcome> both(2);
  std::vector<std::thread> runs;
  for (int k = 0; k < 2; k++)
    runs.emplace_back([&, k] {
      both[k] = run(dir.str(), {"-test", "-job=run" + std::to_string(k), "q.pdb", "t.pdb"});
    });
  for (std::thread& t : runs) t.join();
  ASSERT_EQ(both[0].status, 0) << both[0].out;
  ASSERT_EQ(both[1].status, 0) << both[1].out;
  std::set<std::string> jobs;
  for (const char* name : {"trel.log", "trel.log.2", "trel.log.3"}) {
    const std::string log = read_file(dir.file(std::string("trel_results/") + name));
    for (const std::string job : {"good", "run0", "run1"})
      if (whole(log, job)) jobs.insert(job);
  }
  EXPECT_EQ(jobs, (std::set<std::string>{"good", "run0", "run1"}));
  EXPECT_FALSE(fs::exists(dir.file("trel_results/trel.log.4")));

  // A link at the log's name: what it points at is never touched, the link
  // stays, and the log of the run is kept beside it.
  TempDir linked;
  write_file(linked.file("q.pdb"), "END\n");
  write_file(linked.file("t.pdb"), "END\n");
  write_file(linked.file("precious.txt"), "keep\n");
  fs::create_directories(linked.file("trel_results"));
  fs::create_symlink("../precious.txt", linked.file("trel_results/trel.log"));
  Outcome through = run(linked.str(), {"-test", "-job=linked", "q.pdb", "t.pdb"});
  EXPECT_EQ(through.status, 0) << through.out;
  EXPECT_TRUE(has(through.out, "*Warning* The log of this run is ./trel_results/trel.log.1: ./trel_results/trel.log is "
                               "not a file of its own"))
      << through.out;
  EXPECT_EQ(read_file(linked.file("precious.txt")), "keep\n");
  EXPECT_TRUE(fs::is_symlink(linked.file("trel_results/trel.log")));
  EXPECT_TRUE(whole(read_file(linked.file("trel_results/trel.log.1")), "linked"));
}

// Starts the tool in cwd with its output into file out; returns its pid.
pid_t start(const std::string& cwd, std::vector<std::string> args, const std::string& out) {
  args.insert(args.begin(), TREL_BINARY);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(cwd.c_str()) != 0 || fd < 0) _exit(126);
    dup2(fd, 1);
    dup2(fd, 2);
    char path[] = "PATH=/usr/bin:/bin";
    char* envp[] = {path, nullptr};
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  return pid;
}

// The entries of folder whose names end with tail.
std::vector<std::string> endingWith(const std::string& folder, const std::string& tail) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      found.push_back(name);
  }
  return found;
}

// Starts the tool on a target list that is a pipe and returns its pid once
// the run waits in the middle of its search for a line that never comes
// (opening the pipe for writing succeeds once the run reads it); *writer is
// the pipe's open end. -1 when the run never got there.
pid_t startHeld(const TempDir& dir, int* writer) {
  const pid_t pid = start(dir.str(), {"-cache", "-target=held", "q.pdb"}, dir.file("out"));
  *writer = -1;
  for (int wait = 0; wait < 6000 && *writer < 0; wait++)
    if ((*writer = open(dir.file("held").c_str(), O_WRONLY | O_NONBLOCK)) < 0) usleep(10000);
  return *writer >= 0 ? pid : -1;
}

// A run stopped by SIGTERM, SIGINT or SIGHUP (its terminal closed) ends as a
// failed run: it says so, its log is kept whole under a numbered name (not
// left under its private name) and its private cache folder goes. What a
// SIGKILL leaves (its log under the private name, its private cache folder)
// is recognised by the next run by the locks the kernel dropped, in this
// namespace or any other: the log is kept under a numbered name, the folder
// removed; a log or folder whose lock a live run holds stays, whatever its
// mark. A file with the name of a killed run's temporary that no line of
// the record covers stays too: a name proves nothing.
TEST(Top, StopSignalsEndTheRunAsAFailureDoes) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  ASSERT_EQ(mkfifo(dir.file("held").c_str(), 0600), 0);  // the run waits for a writer here
  fs::create_directories(dir.file("trel_results"));
  const std::string dead = deadMark(), mine = zam_ownerMark();
  ASSERT_EQ(zam_ownerMarkAt(dead), dead.size());
  const std::string left = "x_q_rainbow.pdb." + dead + "-3.tmp";
  const std::vector<std::string> kept = {"y.pdb." + mine + "-3.tmp", "y.pdb." + foreignMark(dead) + "-3.tmp",
                                         "draft.2024_1.tmp", "notes.99999_3.tmp",
                                         "trel.log." + foreignMark(dead) + ".running"};
  write_file(dir.file("trel_results/" + left), "");
  for (const std::string& name : kept) write_file(dir.file("trel_results/" + name), "mine\n");
  // The log and cache folder of a live run in another namespace: their locks held.
  const int live_log = open(dir.file("trel_results/" + kept.back()).c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(zam_holdWriting(live_log), 1);
  const std::string foreign_cache = "/tmp/trel_cache/" + foreignMark(dead) + "_abcdef";
  fs::create_directories(foreign_cache);
  const int live_cache = open(foreign_cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(live_cache, LOCK_EX), 0);
  int n = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    int writer = -1;
    const pid_t pid = startHeld(dir, &writer);
    ASSERT_GE(pid, 0);
    kill(pid, sig);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(writer);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;  // 128 + sig at a shell
    EXPECT_EQ(endingWith(dir.file("trel_results"), ".running").size(), 1u);  // the foreign one alone
    const std::string log = read_file(dir.file("trel_results/trel.log." + std::to_string(++n)));
    EXPECT_TRUE(has(log, "*Error* Run stopped by SIG") && has(log, " log stopping at ")) << log;
    const std::string cache = row(log, "Cache folder:");
    EXPECT_EQ(cache.rfind("/tmp/trel_cache/", 0), 0u) << cache;
    EXPECT_FALSE(fs::exists(cache));
    EXPECT_TRUE(has(read_file(dir.file("out")), "Log of this failed run: ./trel_results/trel.log." + std::to_string(n)));
    EXPECT_TRUE(recordedAsIs(dir.file("trel_results"), "trel.log." + std::to_string(n)));
  }
  EXPECT_TRUE(fs::exists(dir.file("trel_results/" + left)));

  // Killed outright: nothing of the run's own clean-up runs. While it
  // lives, another run leaves its log alone.
  int writer = -1;
  const pid_t pid = startHeld(dir, &writer);
  ASSERT_GE(pid, 0);
  write_file(dir.file("t.pdb"), "END\n");
  Outcome during = run(dir.str(), {"-test", "-job=during", "q.pdb", "t.pdb"});
  EXPECT_EQ(during.status, 0) << during.out;
  EXPECT_FALSE(has(during.out, "Log of a run that was stopped")) << during.out;
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  close(writer);
  std::string orphan;
  for (const std::string& name : endingWith(dir.file("trel_results"), ".running"))
    if (name != kept.back()) orphan = name;
  ASSERT_FALSE(orphan.empty());
  // Its private cache folder bears the mark its log's private name bears.
  const std::string mark = orphan.substr(9, orphan.size() - 9 - 8);  // "trel.log." ... ".running"
  ASSERT_EQ(zam_ownerMarkAt(mark), mark.size()) << orphan;
  std::string cache;
  for (const auto& e : fs::directory_iterator("/tmp/trel_cache"))
    if (e.path().filename().string().rfind(mark + "_", 0) == 0) cache = e.path().string();
  ASSERT_TRUE(fs::is_directory(cache)) << mark;
  // Left by a run killed in another namespace: no lock held, whatever the
  // mark says (its process number means nothing here); a folder of a like
  // name that mkdtemp did not make stays.
  const std::string gone_mark = foreignMark(deadMark());
  const std::string gone_log = "trel.log." + gone_mark + ".running", gone_cache = "/tmp/trel_cache/" + gone_mark + "_ghijkl";
  const std::string odd_cache = "/tmp/trel_cache/" + gone_mark + "_gh";
  write_file(dir.file("trel_results/" + gone_log), "killed\n");
  fs::create_directories(gone_cache);
  fs::create_directories(odd_cache);
  Outcome next = run(dir.str(), {"-cache", "-test", "q.pdb", "t.pdb"});
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_EQ(testutil::occurrences(next.out, "Log of a run that was stopped: ./trel_results/trel.log."), 2) << next.out;
  for (const char* name : {"trel.log.4", "trel.log.5"}) EXPECT_TRUE(recordedAsIs(dir.file("trel_results"), name));
  EXPECT_TRUE(has(read_file(dir.file("trel_results/trel.log.4")) + read_file(dir.file("trel_results/trel.log.5")),
                  "killed\n"));
  EXPECT_FALSE(fs::exists(cache));
  EXPECT_FALSE(fs::exists(gone_cache));
  EXPECT_TRUE(fs::is_directory(odd_cache));
  EXPECT_FALSE(fs::exists(dir.file("trel_results/" + orphan)));
  EXPECT_FALSE(fs::exists(dir.file("trel_results/" + gone_log)));
  for (const std::string& name : kept) EXPECT_EQ(read_file(dir.file("trel_results/" + name)), "mine\n") << name;
  EXPECT_TRUE(fs::is_directory(foreign_cache));
  close(live_log);
  close(live_cache);
  fs::remove_all(foreign_cache);
  fs::remove_all(odd_cache);
}

// -purge beside a live run (one held in the middle of its search) leaves
// the results folder it writes into whole, and says so; once the run is
// gone, the purge takes all.
TEST(Top, PurgeBesideALiveRunLeavesItsFolder) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  ASSERT_EQ(run(dir.str(), {"-test", "q.pdb", "t.pdb"}).status, 0);
  ASSERT_EQ(mkfifo(dir.file("held").c_str(), 0600), 0);
  int writer = -1;
  const pid_t pid = startHeld(dir, &writer);
  ASSERT_GE(pid, 0);
  Outcome purge = run(dir.str(), {"-purge"});
  EXPECT_EQ(purge.status, 0) << purge.out;
  EXPECT_TRUE(has(purge.out, "Keeping the results folder ./trel_results: a run that is still going writes into it\n"))
      << purge.out;
  EXPECT_TRUE(fs::exists(dir.file("trel_results/alpha.pdb")));
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  close(writer);
  Outcome after = run(dir.str(), {"-purge"});
  EXPECT_EQ(after.status, 0) << after.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results"))) << after.out;
}

// A stop takes away the run's temporary files: one set aside to be put in
// place later is gone, and nothing else was ever placed. What the run held
// back (a worker's messages not yet replayed) and why it stops reach the
// terminal once, in order, though a quiet step had silenced the screen.
TEST(Top, StopRemovesTheRunsTemporaryFilesAndSaysWhy) {
  TempDir dir, outside;
  const std::string out = outside.file("out");
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(2);
    _zam_log_held held;
    std::thread([&] {
      zam_log_hold(&held);
      zam_wrn("held back\n");
      zam_msg("and said\n");
      zam_log_hold(nullptr);
    }).join();
    zam_logger_quiet(1);  // as a rotational match does
    _zam_whole* w = zam_openWhole(dir.file("q_query.pdb"), "w");
    const std::string aside = w ? zam_closeWholeAside(w, true) : std::string();
    if (aside.empty() || endingWith(dir.str(), ".tmp").size() != 1) _exit(3);
    trel_stopRun(SIGTERM);
    zam_log_replay(&held);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(fs::is_empty(dir.path));
  EXPECT_EQ(read_file(out), "*Warning* held back\nand said\n*Error* Run stopped by SIGTERM.\n");
}

// How a test stops the run at a step of its end, in a child process.
struct EndStop {
  TrelEndStep step;
  int sig;
  int hold_ms;   // how long the step then holds the run's end; -1 for ever
  bool in_turn;  // and a turn at the record meanwhile, as a rename the file system holds does
};
EndStop end_stop;

void stopAtEndStep(TrelEndStep step) {
  static bool done = false;
  if (step != end_stop.step || done) return;
  done = true;
  std::optional<_zam_record_turn> turn;
  if (end_stop.in_turn) turn.emplace("trel_results/held");
  kill(getpid(), end_stop.sig);
  if (end_stop.hold_ms < 0)
    for (;;) pause();
  usleep(static_cast<useconds_t>(end_stop.hold_ms) * 1000);
}

// Waits for child, for a generous while; a child still there then is killed
// and reported hung (-1). Its wait status otherwise.
int waitBounded(pid_t child, int seconds) {
  int status = 0;
  for (int k = 0; k < seconds * 20; k++) {
    if (waitpid(child, &status, WNOHANG) == child) return status;
    usleep(50000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// A pipe at the log's own name is not taken for the log: a run, and a
// purge, end at once, and the log is kept beside the pipe, which is said.
TEST(Top, APipeAtTheLogsNameIsLeftAsItIs) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  fs::create_directories(dir.file("trel_results"));
  ASSERT_EQ(mkfifo(dir.file("trel_results/trel.log").c_str(), 0600), 0);
  for (const char* mode : {"-test", "-purge"}) {
    SCOPED_TRACE(mode);
    const pid_t pid = start(dir.str(), {mode, "q.pdb", "t.pdb"}, dir.file("out"));
    const int status = waitBounded(pid, 60);
    const std::string out = read_file(dir.file("out"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << out;
    EXPECT_TRUE(has(out, "*Warning* The log of this run is ./trel_results/trel.log.") &&
                has(out, ": ./trel_results/trel.log is not a file of its own (a link or a pipe, say), left as it is.\n"))
        << out;
    EXPECT_TRUE(fs::is_fifo(dir.file("trel_results/trel.log")));
  }
}

// The logs in folder: the entries named trel.log and after it.
std::vector<std::string> logsIn(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("trel.log", 0) == 0) found.push_back(e.path().filename().string());
  return found;
}

// Whether the record's text holds a line of kind for the file name.
bool hasLine(const std::string& record, char kind, const std::string& name) {
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);)
    if (line.size() > name.size() + 2 && line[0] == kind && line[1] == ' ' &&
        line.compare(line.size() - name.size() - 1, std::string::npos, " " + name) == 0)
      return true;
  return false;
}

// In a forked child: trel's search of q.pdb against t.pdb in the working
// folder, in this process (so that the test's seams reach it); ends the
// child with its status.
[[noreturn]] void searchInThisChild() {
  char* args[] = {const_cast<char*>("trel"), const_cast<char*>("-test"), const_cast<char*>("q.pdb"),
                  const_cast<char*>("t.pdb"), nullptr};
  std::exit(trel_top(4, args, environ));
}

// A stop signal that comes at any step of a run's end (after its last
// result, while its log is placed, while it is recorded), the end going on
// at once, held for a moment in the record's turn, or held there for good,
// ends the process by that signal within seconds, and leaves the run's log
// at one of its names: never lost, never two.
TEST(Top, StopAtEachStepOfTheRunsEndEndsTheRun) {
  struct Case {
    EndStop stop;
    pid_t pid;
    std::unique_ptr<TempDir> dir;
  };
  std::vector<Case> cases;
  for (const TrelEndStep step : {TREL_END_RESULTS, TREL_END_PLACING, TREL_END_RECORDING})
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
      for (const EndStop how : {EndStop{step, sig, 0, false}, EndStop{step, sig, 1000, true},
                                EndStop{step, sig, -1, true}}) {
        auto dir = std::make_unique<TempDir>();
        write_file(dir->file("q.pdb"), "END\n");
        write_file(dir->file("t.pdb"), "END\n");
        const pid_t pid = fork();
        if (pid == 0) {
          const int fd = open(dir->file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (fd < 0 || chdir(dir->str().c_str()) != 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
          end_stop = how;
          trel_end_fault = stopAtEndStep;
          searchInThisChild();
        }
        ASSERT_GT(pid, 0);
        cases.push_back({how, pid, std::move(dir)});
      }
  for (Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "step " << c.stop.step << " signal " << c.stop.sig << " hold "
                                      << c.stop.hold_ms);
    const int status = waitBounded(c.pid, 60);
    ASSERT_NE(status, -1) << "hung: " << read_file(c.dir->file("out"));
    // A run whose end was held stops by the signal; one whose end went on
    // at once may have been through its exit before the signal was taken.
    if (c.stop.hold_ms != 0 || !WIFEXITED(status)) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.stop.sig) << status;
    }
    const std::string out = read_file(c.dir->file("out"));
    const std::vector<std::string> logs = logsIn(c.dir->file("trel_results"));
    ASSERT_EQ(logs.size(), 1u) << out;
    // An end that goes on is waited for, and the log placed and recorded
    // by one thread or the other; one held for good is not waited for, and
    // says where the log is.
    if (c.stop.hold_ms >= 0) {
      EXPECT_FALSE(has(logs[0], ".running")) << logs[0] << "\n" << out;
      EXPECT_TRUE(hasLine(read_file(c.dir->file("trel_results/.zam_written")), 'W', logs[0])) << out;
    } else if (c.stop.step == TREL_END_PLACING) {
      EXPECT_TRUE(has(logs[0], ".running")) << logs[0];
      EXPECT_TRUE(has(out, "The log of this run is left where the end of the run under way puts it (./trel_results/" +
                               logs[0] + " until then).\n"))
          << out;
    } else if (c.stop.step == TREL_END_RECORDING) {
      EXPECT_EQ(logs[0], "trel.log");
      EXPECT_TRUE(has(out, "The log of this run is ./trel_results/trel.log.\n")) << out;
    }
  }
}

// A stop while another process holds the record's lock for good (a stopped
// run, a slow file system) ends the run by its signal, and leaves its log
// at its private name rather than give it a name the record has no line
// for, whether the stop or the end of the run under way was to place it
// (the stop, whose turn waited in vain, says so); once the lock is gone,
// -purge removes it.
TEST(Top, StopWhileTheRecordIsHeldLeavesTheLogForPurge) {
  struct Run {
    int sig;
    pid_t pid;
    std::unique_ptr<TempDir> dir;
  };
  std::vector<Run> runs;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    auto dir = std::make_unique<TempDir>();
    write_file(dir->file("q.pdb"), "END\n");
    write_file(dir->file("t.pdb"), "END\n");
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(dir->file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || chdir(dir->str().c_str()) != 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
      // SIGTERM: the end waits, and the stop places the log.
      end_stop = EndStop{TREL_END_RESULTS, sig, sig == SIGTERM ? 20000 : 0, false};
      // Another open of the record: its lock is another run's to this run.
      trel_end_fault = [](TrelEndStep step) {
        if (step == TREL_END_RESULTS) {
          const int held = open("trel_results/.zam_written", O_RDONLY | O_CLOEXEC);  // kept: its lock held
          if (held < 0 || flock(held, LOCK_EX) != 0) _exit(125);
        }
        stopAtEndStep(step);
      };
      searchInThisChild();
    }
    ASSERT_GT(pid, 0);
    runs.push_back({sig, pid, std::move(dir)});
  }
  for (auto& [sig, pid, dir] : runs) {
    SCOPED_TRACE(sig);
    const int status = waitBounded(pid, 60);
    ASSERT_NE(status, -1) << "hung: " << read_file(dir->file("out"));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status << read_file(dir->file("out"));
    const std::vector<std::string> logs = logsIn(dir->file("trel_results"));
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(has(logs[0], ".running")) << logs[0];
    if (sig == SIGTERM) {
      EXPECT_TRUE(has(read_file(dir->file("out")), "The log of this run stays ./trel_results/" + logs[0] +
                                                       ": the record of its folder could not be had in time.\n"))
          << read_file(dir->file("out"));
    }
    Outcome purge = run(dir->str(), {"-purge"});
    EXPECT_EQ(purge.status, 0) << purge.out;
    EXPECT_TRUE(!fs::exists(dir->file("trel_results")) || logsIn(dir->file("trel_results")).empty()) << purge.out;
  }
}

// A run whose record of the files it writes could not be kept at some turn
// (its lock refused: at the run's first turns, as the log is placed, as
// the log is recorded) says so, naming the record and the reason, and
// exits 1; the log says it too, unless it was closed by then. A log whose
// line cannot be written is not made: the run says it keeps none.
TEST(Top, ARunWhoseRecordCouldNotBeKeptFails) {
  for (const TrelEndStep at : {TrelEndStep(0), TREL_END_PLACING, TREL_END_RECORDING}) {
    SCOPED_TRACE(at);
    TempDir dir;
    write_file(dir.file("q.pdb"), "END\n");
    write_file(dir.file("t.pdb"), "END\n");
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || chdir(dir.str().c_str()) != 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
      static TrelEndStep armed_at;
      static int fails;
      armed_at = at;
      fails = 0;
      zam_record_fault = [](ZamRecordStep step) { return step == ZAM_RECORD_LOCK && fails-- > 0 ? EIO : 0; };
      trel_end_fault = [](TrelEndStep step) {
        if (step == armed_at) fails = 1;
      };
      if (at == TrelEndStep(0)) fails = 3;  // the first turns of the run
      searchInThisChild();
    }
    ASSERT_GT(pid, 0);
    const int status = waitBounded(pid, 60);
    const std::string out = read_file(dir.file("out"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << out;
    EXPECT_EQ(testutil::occurrences(out, "*Error* Cannot keep the record of the files written into the results "
                                         "folder: ./trel_results/.zam_written: Input/output error\n"),
              1)
        << out;
    // In the log too, but where the log was closed already.
    const std::vector<std::string> logs = logsIn(dir.file("trel_results"));
    if (at == TrelEndStep(0)) {
      EXPECT_TRUE(logs.empty());
      EXPECT_TRUE(has(out, ".running [Input/output error]: this run keeps no log.\n")) << out;
      continue;
    }
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(has(read_file(dir.file("trel_results/" + logs[0])), "*Error* Cannot keep the record"),
              at != TREL_END_RECORDING)
        << logs[0];
  }
}

// A log that cannot be made (one EIO at its open) is never made unmarked
// another way: the run says so, keeps no log and fails. A run killed in its
// first moments (its results folder made, its log's line written, the log
// named or not yet) leaves nothing that the next run, or -purge alone, does
// not take: the empty log goes by its line in the record, the results
// folder with the purge.
TEST(Top, ARunsFirstMomentsLeaveNothingBehind) {
  enum Case { kFailedOpen, kKilledAtOpen, kKilledAhead, kKilledNamed };
  for (const Case c : {kFailedOpen, kKilledAtOpen, kKilledAhead, kKilledNamed})
    for (const bool next_run : {false, true}) {
      SCOPED_TRACE(std::to_string(c) + (next_run ? " and a run" : " and -purge"));
      TempDir dir;
      write_file(dir.file("q.pdb"), "END\n");
      write_file(dir.file("t.pdb"), "END\n");
      static Case at;
      at = c;
      const pid_t pid = fork();
      if (pid == 0) {
        const int fd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(dir.str().c_str()) != 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
        zam_file_fault = [](ZamFileCall call, const std::string&) {
          if (call == ZAM_CALL_OPEN && at == kKilledAtOpen) raise(SIGKILL);
          return call == ZAM_CALL_OPEN && at == kFailedOpen ? EIO : 0;
        };
        zam_place_fault = [](ZamPlaceStep step) {
          if ((step == ZAM_STEP_AHEAD && at == kKilledAhead) || (step == ZAM_STEP_NAMED && at == kKilledNamed))
            raise(SIGKILL);
        };
        searchInThisChild();
      }
      ASSERT_GT(pid, 0);
      const int status = waitBounded(pid, 60);
      const std::string out = read_file(dir.file("out"));
      if (c == kFailedOpen) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << out;
        EXPECT_TRUE(has(out, "*Error* Failed to open log file ./trel_results/trel.log.") &&
                    has(out, ".running [Input/output error]: this run keeps no log.\n"))
            << out;
      } else {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      }
      EXPECT_EQ(endingWith(dir.file("trel_results"), ".running").size(), c == kKilledNamed ? 1u : 0u);
      if (next_run) {
        Outcome next = run(dir.str(), {"-test", "q.pdb", "t.pdb"});
        EXPECT_EQ(next.status, 0) << next.out;
        EXPECT_FALSE(has(next.out, "Log of a run that was stopped")) << next.out;
        EXPECT_EQ(logsIn(dir.file("trel_results")), std::vector<std::string>{"trel.log"}) << next.out;
      }
      Outcome purge = run(dir.str(), {"-purge"});
      EXPECT_EQ(purge.status, 0) << purge.out;
      EXPECT_FALSE(fs::exists(dir.file("trel_results"))) << purge.out;
    }
}

// A run stopped while another process holds the record at its first turn
// (its log's line) ends by the signal and leaves no log behind.
TEST(Top, AStopWhileTheFirstTurnWaitsLeavesNoLog) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  ASSERT_EQ(run(dir.str(), {"-test", "q.pdb", "t.pdb"}).status, 0);
  const int held = open(dir.file("trel_results/.zam_written").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const pid_t pid = start(dir.str(), {"-test", "q.pdb", "t.pdb"}, dir.file("out"));
  // Stopped once it has the record open, waiting for its lock (once it
  // runs trel: before, it holds this process's descriptors, held's too).
  const auto opened = [&] {
    std::error_code ec;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (fs::read_symlink(proc + "/exe", ec) != fs::path(TREL_BINARY)) return false;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
      if (has(fs::read_symlink(e.path(), ec).string(), "/trel_results/.zam_written")) return true;
    return false;
  };
  for (int wait = 0; wait < 6000 && !opened(); wait++) usleep(1000);
  EXPECT_TRUE(opened());
  kill(pid, SIGTERM);
  const int status = waitBounded(pid, 60);
  close(held);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << read_file(dir.file("out"));
  EXPECT_EQ(logsIn(dir.file("trel_results")), std::vector<std::string>{"trel.log"});
  Outcome purge = run(dir.str(), {"-purge"});
  EXPECT_FALSE(fs::exists(dir.file("trel_results"))) << purge.out;
}

// A run in another PID namespace sharing the results folder (a container,
// say) keeps the temporary file that a live process outside it is writing,
// though no process of its own namespace has that number.
TEST(Top, RunInAnotherNamespaceKeepsTheHostsFiles) {
  if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no PID namespaces here";
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  fs::create_directories(dir.file("trel_results"));
  const std::string live = "q_query.pdb." + zam_ownerMark() + "-0.tmp";
  write_file(dir.file("trel_results/" + live), "being written\n");
  Outcome r = testutil::run_program("/usr/bin/unshare", dir.str(),
                                    {"--pid", "--fork", "--mount-proc", TREL_BINARY, "-test", "q.pdb", "t.pdb"},
                                    {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir.file("trel_results/" + live)), "being written\n");
}

// A results sub-folder that is a symbolic link is never written through.
TEST(Top, LinkedResultsSubFolderIsRefused) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directories(dir.file("elsewhere"));
  fs::create_directories(dir.file("trel_results"));
  fs::create_directory_symlink("../elsewhere", dir.file("trel_results/1ard"));
  const std::string fingers = testutil::shared_pdb("mustang-testdata/");
  Outcome r = run(dir.str(), {fingers + "1ard.pdb", fingers + "1sp1.pdb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "*Error* Results sub-folder ./trel_results/1ard is a symbolic link: nothing is written "
                         "through it.\n"))
      << r.out;
  EXPECT_TRUE(fs::is_empty(dir.file("elsewhere")));
}

TEST(Top, AllocatorSelfTestEndsWithStatusOne) {
  TempDir dir;
  Outcome r = run(dir.str(), {"-kids"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("kget2D\n", 0), 0u);
  EXPECT_TRUE(has(r.out, "kids - maximum memory allocation: "));
  EXPECT_TRUE(has(r.out, "test_kids() done in "));
}

}  // namespace
