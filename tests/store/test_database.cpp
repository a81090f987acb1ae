// Structure databases built from the shared structures: file sizes against
// the header, list, extract, delete, raw-image databases, statistics,
// databases corrupted byte by byte that must be refused cleanly, checksums,
// and what is not the database's (a file in the way of an extraction, a
// user's file in its folder, an existing database of the name) kept.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_whole.h"
#include "store/trel_cache.h"
#include "store/trel_cath.h"
#include "store/trel_database.h"
#include "store/trel_dbstats.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

// Messages shown while a Capture lives, in `captured`.
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

// A few dozen single-model protein files from the shared data.
// The paths of files as the build takes its sources.
std::vector<char*> argvOf(const std::vector<std::string>& files) {
  std::vector<char*> argv;
  for (const auto& f : files) argv.push_back(const_cast<char*>(f.c_str()));
  return argv;
}

std::vector<std::string> sharedFiles(size_t limit = 40) {
  std::vector<std::string> files;
  if (!testutil::have_shared_data()) return files;
  for (const auto& e : fs::recursive_directory_iterator(testutil::shared_data() + "/pdb")) {
    if (e.path().extension() == ".pdb" && e.file_size() > 8000) files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  if (files.size() > limit) files.resize(limit);
  return files;
}

int64_t fileSize(const std::string& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? -1 : static_cast<int64_t>(n);
}

struct Db {
  TempDir dir;
  std::string root, name = "test", folder;
  int built = 0;
  explicit Db(const std::vector<std::string>& files, int binary = 0, int stats = 0) {
    root = dir.str() + "/";
    folder = root + name + "_trel/";
    _trel_db_opts o;
    o.use_binary = binary;
    o.do_stats = stats;
    o.thing.with_lookup = 1;
    trel_openCath((fs::path(TREL_SOURCE_DIR) / "tests/store/data/CathDomainList").string().c_str(), 0);
    std::vector<char*> argv = argvOf(files);
    Capture cap;
    built = trel_buildDatabase(root.c_str(), name.c_str(), argv.data(), static_cast<int>(argv.size()), 0,
                               0, &o);
  }
  std::string file(const char* f) const { return folder + f; }
  _trel_db* open() const { return trel_openDatabase(root.c_str(), name.c_str(), 0); }
};

void patch(const std::string& path, int64_t offset, const void* bytes, size_t n) {
  std::string s = testutil::read_file(path);
  ASSERT_LE(offset + static_cast<int64_t>(n), static_cast<int64_t>(s.size()));
  std::memcpy(&s[offset], bytes, n);
  testutil::write_file(path, s);
}

// Opens the database expecting a refusal whose message holds want.
void expectRefused(const Db& db, const std::string& want) {
  Capture cap;
  _trel_db* h = db.open();
  EXPECT_EQ(h, nullptr) << want;
  trel_closeDatabase(h);
  EXPECT_NE(captured.find(want), std::string::npos) << "got: " << captured;
}

}  // namespace

TEST(Database, BuildFilesMatchHeaderAndOpen) {
  const auto files = sharedFiles();
  ASSERT_GE(files.size(), 10u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  const int64_t page = zam_page_size();
  EXPECT_GE(h->n_members, 20);
  EXPECT_EQ(fileSize(db.file("master.dat")), TREL_DB_MASTER_SIZE);
  EXPECT_EQ(fileSize(db.file("names.dat")), h->names_bytes);
  EXPECT_EQ(fileSize(db.file("tags.dat")), h->tags_bytes);
  EXPECT_EQ(fileSize(db.file("traces.dat")), h->traces_bytes);
  for (int64_t b : {h->names_bytes, h->tags_bytes, h->traces_bytes}) EXPECT_EQ(b % page, 0);
  EXPECT_EQ(h->image_kind, 1);
  EXPECT_EQ(h->tag_size, 304);
  EXPECT_EQ(h->seg_size, 268);
  EXPECT_TRUE(h->traces_mapped);

  // Every member: its name is its file's root name, its records lie end to
  // end in member order, and its image lies beside the data files.
  std::vector<_trel_thing*> things(h->n_members);
  ASSERT_EQ(trel_loadDatabase(h, things.data(), nullptr, nullptr, nullptr, 0, 1, 1 << 30, nullptr),
            h->n_members);
  int64_t offset = 0;
  for (int i = 0; i < h->n_members; i++) {
    _trel_thing* t = things[i];
    EXPECT_EQ(t->tag->trace_offset, offset);
    offset += 268LL * t->tag->n_residues;
    ASSERT_NE(t->trace.seg, nullptr);
    EXPECT_EQ(t->trace.n, t->tag->n_residues);
    EXPECT_TRUE(fs::exists(db.folder + t->name + ".pdb")) << t->name;
    EXPECT_TRUE(t->embedded && t->member && t->tag_borrowed && t->trace_borrowed);
  }
  // A member outside the length bounds comes without its trace.
  ASSERT_EQ(trel_loadDatabase(h, things.data(), nullptr, nullptr, nullptr, 0, 1, 1, nullptr),
            h->n_members);
  EXPECT_EQ(things[0]->trace.seg, nullptr);
  for (auto* t : things) trel_closeThing(nullptr, t);

  // One member by name, and a name that is not there.
  _trel_thing* one = nullptr;
  const std::string first = h->member_names[0];
  ASSERT_EQ(trel_memberDatabase(h, first.c_str(), &one, nullptr, 1, 1 << 30, nullptr), 1);
  EXPECT_EQ(std::string(one->name), first);
  EXPECT_NE(one->trace.seg, nullptr);
  trel_closeThing(nullptr, one);
  {
    Capture cap;
    EXPECT_EQ(trel_memberDatabase(h, "nosuch", &one, nullptr, 1, 1 << 30, nullptr), 0);
    EXPECT_NE(captured.find("Failed to find member nosuch in database NAMES file"), std::string::npos);
  }
  trel_closeDatabase(h);

  // The index option uses its own folder.
  char f[TREL_PATH_MAX + 1];
  EXPECT_STREQ(trel_databaseFolder("/x/", "db", 1, f), "/x/db_index/");
  EXPECT_STREQ(trel_databaseFolder("/x/", "db", 0, f), "/x/db_trel/");
}

TEST(Database, ListSelectAndOnly) {
  const auto files = sharedFiles(12);
  ASSERT_GE(files.size(), 10u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  const int n = h->n_members;
  std::string a = h->member_names[1], b = h->member_names[3];
  trel_closeDatabase(h);
  {
    Capture cap;
    EXPECT_EQ(trel_listDatabase(db.root.c_str(), "test", 0, nullptr, nullptr, 0, nullptr), 1);
    EXPECT_NE(captured.find("Selecting [*] from " + db.folder), std::string::npos);
    EXPECT_NE(captured.find("Found " + std::to_string(n) + " structures in"), std::string::npos);
  }
  {
    char* only[2] = {const_cast<char*>(std::min(a, b).c_str()), const_cast<char*>(std::max(a, b).c_str())};
    std::string lo = std::min(a, b), hi = std::max(a, b);
    only[0] = lo.data();
    only[1] = hi.data();
    Capture cap;
    EXPECT_EQ(trel_listDatabase(db.root.c_str(), "test", 0, nullptr, only, 2, nullptr), 1);
    EXPECT_NE(captured.find("Found 2 structures in"), std::string::npos) << captured;
    EXPECT_NE(captured.find(a + " ["), std::string::npos);
  }
  {
    Capture cap;  // a class no member has
    EXPECT_EQ(trel_listDatabase(db.root.c_str(), "test", 0, "9.9.9.9", nullptr, 0, nullptr), 1);
    EXPECT_NE(captured.find("Selecting [9.9.9.9]"), std::string::npos);
    EXPECT_NE(captured.find("Found 0 structures in"), std::string::npos) << captured;
  }
}

namespace {

// CA positions of a PDB file, in file order.
std::vector<Point3D> caOf(const std::string& path) {
  std::vector<Point3D> out;
  _pdb_image* im = zam_readPdb(path.c_str(), nullptr);
  if (!im) return out;
  for (int i = 0; i < im->nres; i++) out.push_back(zam_ptPdbResidue(im, i));
  zam_freePdb(im);
  return out;
}

void extractAndCompare(const Db& db, const std::string& member, const std::string& source) {
  TempDir out;
  std::string name = member;
  char* only[1] = {name.data()};
  Capture cap;
  const std::string folder = out.str() + "/";
  ASSERT_EQ(trel_extractDatabase(db.root.c_str(), "test", 0, folder.c_str(), nullptr, only, 1, nullptr), 1);
  EXPECT_NE(captured.find("Extracted 1 structures from"), std::string::npos) << captured;
  const auto got = caOf(folder + member + ".pdb");
  // The structure comes back in its source file's coordinates.
  _pdb_image* src = zam_readPdb(source.c_str(), nullptr);
  ASSERT_NE(src, nullptr);
  ASSERT_EQ(static_cast<int>(got.size()), src->nres);
  double worst = 0;
  for (int i = 0; i < src->nres; i++) worst = std::max(worst, std::sqrt(d2_ptpt(got[i], zam_ptPdbResidue(src, i))));
  zam_freePdb(src);
  EXPECT_LT(worst, 0.003);
  EXPECT_NE(testutil::read_file(folder + member + ".pdb").find("\nHELIX"), std::string::npos);
}

}  // namespace

TEST(Database, MemberWithoutImageIsRefused) {
  auto files = sharedFiles(6);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  files.resize(3);
  Db db(files);
  ASSERT_EQ(db.built, 1);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  const std::string gone = h->member_names[1];
  const std::string image = db.folder + gone + ".pdb";
  ASSERT_TRUE(fs::remove(image));
  {
    Capture cap;
    _trel_thing* one = nullptr;
    EXPECT_EQ(trel_memberDatabase(h, gone.c_str(), &one, nullptr, 1, 1 << 30, nullptr), 0);
    EXPECT_EQ(one, nullptr);
    EXPECT_NE(captured.find("*Warning* Structure file of database member " + gone + " not found: " + image),
              std::string::npos)
        << captured;
    EXPECT_NE(captured.find("*Error* The structure of database member " + gone + " cannot be read"),
              std::string::npos)
        << captured;
  }
  trel_closeDatabase(h);
  TempDir out;
  const std::string folder = out.str() + "/";
  Capture cap;
  EXPECT_EQ(trel_extractDatabase(db.root.c_str(), "test", 0, folder.c_str(), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_NE(captured.find("Extracted 2 structures from"), std::string::npos) << captured;
  EXPECT_NE(captured.find("*Error* Failed to extract 1 of 3 structures from " + db.folder), std::string::npos)
      << captured;
  EXPECT_FALSE(fs::exists(folder + gone + ".pdb"));
}

TEST(Database, ExtractGivesSourceCoordinatesTextAndBinary) {
  auto files = sharedFiles(6);
  ASSERT_GE(files.size(), 4u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  files.resize(4);
  for (int binary = 0; binary <= 1; binary++) {
    Db db(files, binary);
    ASSERT_EQ(db.built, 1);
    _trel_db* h = db.open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->image_kind, binary ? 2 : 1);
    const std::string member = h->member_names[2];
    trel_closeDatabase(h);
    EXPECT_TRUE(fs::exists(db.folder + member + (binary ? ".kpdb" : ".pdb")));
    std::string source;
    for (const auto& f : files)
      if (fs::path(f).stem() == member) source = f;
    ASSERT_FALSE(source.empty());
    extractAndCompare(db, member, source);
  }
}

// An extraction never writes over a file already in its folder: that file
// is kept and named, the others are written, and the extraction fails.
TEST(Database, ExtractKeepsFilesAlreadyThere) {
  auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  const std::string taken = h->member_names[1], other = h->member_names[0];
  trel_closeDatabase(h);
  TempDir out;
  const std::string folder = out.str() + "/";
  testutil::write_file(folder + taken + ".pdb", "mine\n");
  {
    Capture cap;
    EXPECT_EQ(trel_extractDatabase(db.root.c_str(), "test", 0, folder.c_str(), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_NE(captured.find("*Warning* Not overwriting existing file: " + folder + taken + ".pdb"),
              std::string::npos)
        << captured;
    EXPECT_NE(captured.find("Extracted 2 structures from"), std::string::npos) << captured;
    EXPECT_NE(captured.find("*Error* 1 of 3 structures not extracted from " + db.folder), std::string::npos)
        << captured;
  }
  EXPECT_EQ(testutil::read_file(folder + taken + ".pdb"), "mine\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);
  // Again: every file is there now, and every one is kept as it is.
  const std::string first = testutil::read_file(folder + other + ".pdb");
  Capture cap;
  EXPECT_EQ(trel_extractDatabase(db.root.c_str(), "test", 0, folder.c_str(), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_NE(captured.find("*Error* 3 of 3 structures not extracted"), std::string::npos) << captured;
  EXPECT_EQ(testutil::read_file(folder + other + ".pdb"), first);
}

TEST(Database, DeleteDummyThenReallyAndRefusals) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 0), 1);
    EXPECT_NE(captured.find("(DUMMY RUN)"), std::string::npos);
    EXPECT_TRUE(fs::exists(db.file("master.dat")));
  }
  for (const char* bad : {"", ".", "..", "a/b"}) {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), bad, 0, 1), 0) << bad;
    EXPECT_NE(captured.find("which is not safe for delete!"), std::string::npos) << bad;
    EXPECT_NE(captured.find("Refusing to delete anything."), std::string::npos);
  }
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase("./", "test", 0, 1), 0);
    EXPECT_NE(captured.find("Database master folder is \"./\""), std::string::npos);
  }
  // A link named like a database is never followed.
  TempDir other;
  fs::create_symlink(db.folder.substr(0, db.folder.size() - 1), db.root + "link_trel");
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "link", 0, 1), 0);
    EXPECT_NE(captured.find("is not a file system folder!"), std::string::npos) << captured;
    EXPECT_TRUE(fs::exists(db.file("traces.dat")));
  }
  {  // a database whose folder is gone (a build that failed took it away)
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "gone", 0, 1), 0);
    EXPECT_NE(captured.find("Database " + db.root + "gone_trel/ does not exist"), std::string::npos) << captured;
  }
  // A missing traces file: nothing is deleted.
  fs::rename(db.file("traces.dat"), db.root + "traces.keep");
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 1), 0);
    EXPECT_NE(captured.find("Database traces file " + db.file("traces.dat") + " not found!"), std::string::npos);
    EXPECT_NE(captured.find("Please use the command line to delete the database"), std::string::npos);
    EXPECT_TRUE(fs::exists(db.file("master.dat")));
  }
  fs::rename(db.root + "traces.keep", db.file("traces.dat"));
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 1), 1);
    EXPECT_NE(captured.find("DELETING database=test folder=" + db.folder), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(db.folder));
  EXPECT_TRUE(fs::exists(db.root + "traces.keep") == false);
}

// A delete takes the database's own files and nothing else: a note, an
// extra structure file and a sub-folder the user keeps in its folder stay,
// are named, and so does the folder.
TEST(Database, DeleteKeepsWhatTheDatabaseDidNotMake) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  testutil::write_file(db.file("notes.txt"), "mine\n");
  testutil::write_file(db.file("mine.pdb"), "END\n");
  fs::create_directory(db.file("work"));
  const size_t before = std::distance(fs::directory_iterator(db.folder), fs::directory_iterator());
  {
    Capture cap;
    EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 0), 1);
    EXPECT_NE(captured.find("UNLINK: " + db.file("traces.dat")), std::string::npos) << captured;
    EXPECT_NE(captured.find("Keeping " + db.file("notes.txt") + ": it is not a file of database test"),
              std::string::npos)
        << captured;
    EXPECT_EQ(captured.find("UNLINK: " + db.file("mine.pdb")), std::string::npos) << captured;
  }
  EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(db.folder), fs::directory_iterator())),
            before);
  Capture cap;
  EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 1), 1);
  EXPECT_NE(captured.find("Kept 3 files in " + db.folder + " that database test did not make"),
            std::string::npos)
      << captured;
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(db.folder)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"mine.pdb", "notes.txt", "work"}));
  EXPECT_EQ(testutil::read_file(db.file("notes.txt")), "mine\n");
}

// A build never replaces a database of the same name: it is refused with a
// message naming it, and the database stays as it was.
TEST(Database, BuildOverAnExistingDatabaseIsRefused) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  const std::string master = testutil::read_file(db.file("master.dat"));
  const std::string traces = testutil::read_file(db.file("traces.dat"));
  std::vector<char*> one = {const_cast<char*>(files[0].c_str())};
  Capture cap;
  EXPECT_EQ(trel_buildDatabase(db.root.c_str(), "test", one.data(), 1, 0, 0, nullptr), 0);
  EXPECT_NE(captured.find("*Error* Database test exists already in " + db.folder +
                          " (it holds master.dat): it is not replaced."),
            std::string::npos)
      << captured;
  EXPECT_EQ(captured.find("Building database"), std::string::npos) << captured;
  EXPECT_EQ(testutil::read_file(db.file("master.dat")), master);
  EXPECT_EQ(testutil::read_file(db.file("traces.dat")), traces);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->n_members, 3);
  trel_closeDatabase(h);
}

// A build that was stopped leaves its data files without the header and the
// checksum file its close writes: the next build and a search are told the
// database is incomplete and how to remove it, and -delete does.
TEST(Database, UnfinishedBuildIsNamedAndCanBeDeleted) {
  const auto files = sharedFiles(2);
  ASSERT_GE(files.size(), 2u);
  Db db(files);
  ASSERT_EQ(db.built, 1);
  fs::remove(db.file(TREL_DB_SUMS));
  fs::resize_file(db.file("master.dat"), 0);
  std::vector<char*> one = {const_cast<char*>(files[0].c_str())};
  {
    Capture cap;
    EXPECT_EQ(trel_buildDatabase(db.root.c_str(), "test", one.data(), 1, 0, 0, nullptr), 0);
    EXPECT_NE(captured.find("Database test in " + db.folder + " is incomplete"), std::string::npos) << captured;
    EXPECT_NE(captured.find("delete it with -delete -db=test and build it again"), std::string::npos) << captured;
  }
  expectRefused(db, "Database test in " + db.folder + " is incomplete");
  expectRefused(db, "delete it with -delete -db=test and build it again");
  Capture cap;
  EXPECT_EQ(trel_deleteDatabase(db.root.c_str(), "test", 0, 1), 1) << captured;
  EXPECT_EQ(trel_buildDatabase(db.root.c_str(), "test", one.data(), 1, 0, 0, nullptr), 1) << captured;
}

// A build killed once its third member is recorded and while that member's
// image is being written (under a temporary name, where files cannot be
// written unnamed): -delete takes every file the build made, and the build
// then runs again.
TEST(Database, BuildStoppedBetweenAMembersRecordAndItsFiles) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  TempDir dir;
  const std::string root = dir.str() + "/", folder = root + "test_trel/";
  std::vector<char*> argv = argvOf(files);
  static std::string stop_folder;
  stop_folder = folder;
  const pid_t child = fork();
  if (child == 0) {
    trel_setMemberRecordedHook([](const char* member) {
      static int recorded = 0;
      if (++recorded < 3) return;
      testutil::write_file(zam_tempName(stop_folder + member + ".pdb"), "ATOM\n");
      _exit(3);
    });
    trel_buildDatabase(root.c_str(), "test", argv.data(), static_cast<int>(argv.size()), 0, 0, nullptr);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  std::vector<std::string> images, temps;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pdb") == 0) images.push_back(name);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) temps.push_back(name);
  }
  EXPECT_EQ(images.size(), 2u);
  EXPECT_EQ(temps.size(), 1u);
  EXPECT_EQ(fileSize(folder + "master.dat"), 0);
  Capture cap;
  EXPECT_EQ(trel_deleteDatabase(root.c_str(), "test", 0, 1), 1) << captured;
  EXPECT_EQ(captured.find("Keeping"), std::string::npos) << captured;
  EXPECT_FALSE(fs::exists(folder)) << captured;
  ASSERT_EQ(trel_buildDatabase(root.c_str(), "test", argv.data(), static_cast<int>(argv.size()), 0, 0, nullptr), 1)
      << captured;
  _trel_db* db = trel_openDatabase(root.c_str(), "test", 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->n_members, 3);
  trel_closeDatabase(db);
}

// A member whose files cannot all be written (a folder stands at its
// image's name) is left out and takes back only what this build put in
// place for it: the folder and a user's file beside it stay, and the other
// members make the database.
TEST(Database, AMemberWhoseFilesFailIsLeftOutWithNothingElse) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  TempDir dir;
  const std::string root = dir.str() + "/", folder = root + "test_trel/";
  std::vector<char*> argv = argvOf(files);
  static std::string blocked_folder, blocked;
  blocked_folder = folder;
  blocked.clear();
  trel_setMemberRecordedHook([](const char* member) {
    static int recorded = 0;
    if (++recorded != 2) return;
    blocked = member;
    fs::create_directory(blocked_folder + member + ".pdb");
    testutil::write_file(blocked_folder + member + ".pdb.notes", "a user's notes\n");
  });
  Capture cap;
  const int built = trel_buildDatabase(root.c_str(), "test", argv.data(), static_cast<int>(argv.size()), 0, 0, nullptr);
  trel_setMemberRecordedHook(nullptr);
  ASSERT_FALSE(blocked.empty());
  EXPECT_NE(captured.find("Failed to write the files of " + blocked + ": not added to the database."),
            std::string::npos) << captured;
  EXPECT_TRUE(fs::is_directory(folder + blocked + ".pdb"));
  EXPECT_EQ(testutil::read_file(folder + blocked + ".pdb.notes"), "a user's notes\n");
  if (built) {
    _trel_db* db = trel_openDatabase(root.c_str(), "test", 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->n_members, 2);
    trel_closeDatabase(db);
  }
}

// Every file is checked against the checksums the build wrote beside them:
// a traces file of the right size holding other bytes passes every count and
// offset, and would give every member garbage records.
TEST(Database, ChecksumsCatchWhatTheCountsCannot) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  const std::string sums = testutil::read_file(db.file("checksums.dat"));
  EXPECT_EQ(sums.rfind("# ", 0), 0u) << sums;
  EXPECT_NE(sums.find(" 56 master.dat\n"), std::string::npos) << sums;
  {
    Capture cap;
    _trel_db* h = db.open();
    ASSERT_NE(h, nullptr);
    trel_closeDatabase(h);
    EXPECT_EQ(captured.find("*Warning*"), std::string::npos) << captured;
  }
  const std::string traces = testutil::read_file(db.file("traces.dat"));
  std::string garbage = traces;
  for (size_t k = 0; k < garbage.size(); k++) garbage[k] = static_cast<char>(k * 7 + 3);
  testutil::write_file(db.file("traces.dat"), garbage);
  expectRefused(db, "Database file " + db.file("traces.dat") + " does not match its checksum in " +
                        db.file("checksums.dat"));
  // One bit flipped anywhere (here past the first fold blocks) is caught too.
  std::string flipped = traces;
  flipped[flipped.size() / 2 + 5] ^= 0x10;
  testutil::write_file(db.file("traces.dat"), flipped);
  expectRefused(db, "Database file " + db.file("traces.dat") + " does not match its checksum in " +
                        db.file("checksums.dat"));
  testutil::write_file(db.file("traces.dat"), traces);

  // A checksum file that is not one is refused with its line.
  testutil::write_file(db.file("checksums.dat"), sums + "12345678 9 names.dat\n");
  expectRefused(db, "Bad database CHECKSUM file " + db.file("checksums.dat") + " at line 6: a file named twice");
  testutil::write_file(db.file("checksums.dat"), "00000000 4096 names.dat\n");
  expectRefused(db, "at line 1: master.dat is missing");

  // A database without one (built before they were written) opens, with
  // one warning.
  fs::remove(db.file("checksums.dat"));
  Capture cap;
  _trel_db* h = db.open();
  EXPECT_NE(h, nullptr);
  trel_closeDatabase(h);
  const std::string warning = "*Warning* Database " + db.folder + " has no checksum file checksums.dat";
  EXPECT_NE(captured.find(warning), std::string::npos) << captured;
  EXPECT_EQ(captured.find("*Warning*"), captured.rfind("*Warning*")) << captured;
}

TEST(Database, CorruptFilesAreRefused) {
  const auto files = sharedFiles(5);
  ASSERT_GE(files.size(), 5u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  Db db(files);
  ASSERT_EQ(db.built, 1);
  const std::string pristine = db.folder + "../pristine";
  fs::copy(db.folder, pristine);
  auto restore = [&] {
    for (const char* f : {"master.dat", "names.dat", "tags.dat", "traces.dat"})
      fs::copy_file(pristine + "/" + f, db.file(f), fs::copy_options::overwrite_existing);
  };
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  const int n = h->n_members;
  const std::string pristineFirst = h->member_names[0];
  const int64_t names_used = std::strlen(h->member_names[n - 1]) + (h->member_names[n - 1] - h->names) + 1;
  trel_closeDatabase(h);
  const int64_t page = zam_page_size();

  // master.dat: truncated, oversized, garbage sizes and counts.
  fs::resize_file(db.file("master.dat"), 55);
  expectRefused(db, "Failed to read database MASTER file");
  restore();
  fs::resize_file(db.file("master.dat"), 57);
  expectRefused(db, "holds 57 bytes, not 56");
  restore();
  int32_t v = 300;
  patch(db.file("master.dat"), 16, &v, 4);
  expectRefused(db, "Bad TAG size (300!=304)");
  restore();
  v = 7;
  patch(db.file("master.dat"), 24, &v, 4);
  expectRefused(db, "Bad WORD size");
  restore();
  v = 1000000;
  patch(db.file("master.dat"), 0, &v, 4);
  expectRefused(db, "more members than the TAG file holds");
  restore();
  v = -1;
  patch(db.file("master.dat"), 0, &v, 4);
  expectRefused(db, "negative member count");
  restore();
  int64_t big = int64_t{1} << 40;
  patch(db.file("master.dat"), 48, &big, 8);
  expectRefused(db, "traces.dat holds");
  restore();

  // Data files shorter or longer than the header says.
  for (const char* f : {"names.dat", "tags.dat", "traces.dat"}) {
    fs::resize_file(db.file(f), fileSize(db.file(f)) - 1);
    expectRefused(db, std::string(f) + " holds");
    restore();
    fs::resize_file(db.file(f), fileSize(db.file(f)) + page);
    expectRefused(db, std::string(f) + " holds");
    restore();
  }

  // names.dat: a lost terminator, a path for a name, garbage in the padding.
  const char x = 'x';
  const char zero = 0;
  patch(db.file("names.dat"), names_used + 5, &x, 1);  // garbage in the padding
  expectRefused(db, "holds more names than its");
  restore();
  patch(db.file("names.dat"), 2, &zero, 1);  // a name cut in two: one name too many
  expectRefused(db, "holds more names than its");
  restore();
  patch(db.file("names.dat"), std::strlen(pristineFirst.c_str()), &x, 1);  // two names joined
  expectRefused(db, "empty name");
  restore();
  std::string all = testutil::read_file(db.file("names.dat"));
  std::memset(all.data(), 'y', static_cast<size_t>(page));  // no terminator at all
  testutil::write_file(db.file("names.dat"), all);
  expectRefused(db, "name runs past the end of the file");
  restore();
  const char slash = '/';
  patch(db.file("names.dat"), 1, &slash, 1);
  expectRefused(db, "name is a path");
  restore();
  patch(db.file("names.dat"), 0, &zero, 1);
  expectRefused(db, "empty name");
  restore();

  // tags.dat: offsets and counts that point outside the traces file.
  const int64_t last = 304LL * (n - 1);
  int64_t off = fileSize(db.file("traces.dat")) / 268 * 268;
  patch(db.file("tags.dat"), last + 8, &off, 8);
  expectRefused(db, "trace records beyond the end of the TRACE file");
  restore();
  off = 5;
  patch(db.file("tags.dat"), last + 8, &off, 8);
  expectRefused(db, "bad trace offset");
  restore();
  v = 0x7fffffff;
  patch(db.file("tags.dat"), last + 24, &v, 4);
  expectRefused(db, "trace records beyond the end");
  restore();
  v = 2;
  patch(db.file("tags.dat"), 0, &v, 4);
  expectRefused(db, "not a valid tag");
  restore();
  v = 9;
  patch(db.file("tags.dat"), 40, &v, 4);
  expectRefused(db, "impossible potential class");
  restore();

  // Garbage over everything.
  std::string junk(static_cast<size_t>(fileSize(db.file("master.dat"))), '\xa5');
  testutil::write_file(db.file("master.dat"), junk);
  expectRefused(db, "Bad WORD size");
  restore();
  // A missing file.
  fs::remove(db.file("tags.dat"));
  expectRefused(db, "Failed to open database file: " + db.file("tags.dat"));
  restore();

  h = db.open();
  EXPECT_NE(h, nullptr);
  trel_closeDatabase(h);
}

// The database folder and the folders above it are made when missing; a
// build that adds no member leaves none of its files or folders behind, and
// never anything that was there before it.
TEST(Database, BuildMakesItsFoldersAndAnEmptyBuildLeavesNothing) {
  const std::vector<std::string> files = sharedFiles(1);
  ASSERT_GE(files.size(), 1u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  TempDir dir;
  const std::string empty = dir.file("empty.pdb");
  testutil::write_file(empty, "REMARK nothing\nEND\n");
  std::vector<char*> none = {const_cast<char*>(empty.c_str())};
  Capture cap;
  const std::string fresh = dir.file("new/root/");
  EXPECT_EQ(trel_buildDatabase(fresh.c_str(), "none", none.data(), 1, 0, 0, nullptr), 0);
  EXPECT_NE(captured.find("*Error* No structure could be added to database " + fresh +
                          "none_trel/ (1 source file skipped).\n"),
            std::string::npos)
      << captured;
  EXPECT_EQ(captured.find("Done building"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("new")));

  // An existing folder keeps what it held; the build's own files go.
  const std::string root = dir.str() + "/";
  fs::create_directories(root + "kept_trel");
  testutil::write_file(root + "kept_trel/notes.txt", "mine");
  EXPECT_EQ(trel_buildDatabase(root.c_str(), "kept", none.data(), 1, 0, 0, nullptr), 0);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(root + "kept_trel")) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(trel_openDatabase(root.c_str(), "kept", 0), nullptr);

  std::vector<char*> one = {const_cast<char*>(files[0].c_str())};
  EXPECT_EQ(trel_buildDatabase(fresh.c_str(), "one", one.data(), 1, 0, 0, nullptr), 1) << captured;
  EXPECT_NE(captured.find("Creating DATABASE directory: " + dir.file("new")), std::string::npos);
  _trel_db* h = trel_openDatabase(fresh.c_str(), "one", 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->n_members, 1);
  trel_closeDatabase(h);
}

TEST(Database, SourceWithoutResiduesIsSkippedWithAWarning) {
  std::vector<std::string> files = sharedFiles(2);
  ASSERT_GE(files.size(), 2u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  TempDir dir;
  const std::string empty = dir.file("empty.pdb");
  testutil::write_file(empty, "REMARK nothing\nEND\n");
  files.insert(files.begin() + 1, empty);
  Db db(files);
  EXPECT_EQ(db.built, 1);
  EXPECT_NE(captured.find("*Warning* Skipping " + empty + ": no residues could be read from it\n"),
            std::string::npos)
      << captured;
  // No error for a skipped file: the build succeeds, and its last line says
  // how many it skipped.
  EXPECT_EQ(captured.find("*Error*"), std::string::npos) << captured;
  const size_t last = captured.rfind("Done building " + db.folder + " in ");
  ASSERT_NE(last, std::string::npos) << captured;
  EXPECT_TRUE(captured.ends_with(" seconds: 2 members, 1 of 3 source files skipped.\n")) << captured.substr(last);
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->n_members, 2);
  trel_closeDatabase(h);
}

// Two sources of one member name from two folders: the second is skipped
// with a warning naming both, and the member keeps the first one's image
// (the second's would have replaced it, leaving two members on one image).
TEST(Database, SecondSourceOfAMemberNameIsSkipped) {
  std::vector<std::string> files = sharedFiles(2);
  ASSERT_GE(files.size(), 2u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  TempDir dir;
  const std::string first = dir.file("d1/x.pdb"), second = dir.file("d2/x.pdb");
  fs::create_directories(dir.file("d1"));
  fs::create_directories(dir.file("d2"));
  fs::copy_file(files[0], first);
  fs::copy_file(files[1], second);
  Db db({first, second});
  EXPECT_EQ(db.built, 1);
  EXPECT_NE(captured.find("*Warning* Skipping " + second + ": database member x comes from " + first),
            std::string::npos)
      << captured;
  _trel_db* h = db.open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->n_members, 1);
  trel_closeDatabase(h);
  _pdb_image* kept = zam_readPdb(db.file("x.pdb").c_str(), nullptr);
  _pdb_image* source = zam_readPdb(first.c_str(), nullptr);
  ASSERT_NE(kept, nullptr);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(kept->nres, source->nres);
  EXPECT_EQ(kept->natoms, source->natoms);
  zam_freePdb(kept);
  zam_freePdb(source);
}

TEST(Database, PadFildes) {
  TempDir dir;
  const int64_t page = zam_page_size();
  const std::string p = dir.file("f");
  testutil::write_file(p, std::string(static_cast<size_t>(page), 'a'));
  int fd = open(p.c_str(), O_RDWR);
  EXPECT_EQ(pad_fildes(fd, page), 0);
  EXPECT_EQ(write(fd, "b", 1), 1);
  EXPECT_EQ(pad_fildes(fd, page), page - 1);
  close(fd);
  EXPECT_EQ(fileSize(p), 2 * page);
}

TEST(DatabaseStats, ReportFromBuildAndEdgeCases) {
  const auto files = sharedFiles(3);
  ASSERT_GE(files.size(), 3u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
  {
    Capture cap;
    Db db(files, 0, 1);
    ASSERT_EQ(db.built, 1);
  }
  // The Db constructor captured its own messages; run the report directly.
  _trel_member_stats none{};
  {
    Capture cap;
    trel_doStats(0, &none);
    EXPECT_NE(captured.find("Binned radius distribution (0 samples):"), std::string::npos);
    EXPECT_NE(captured.find("COM = [  0.000,   0.000,   0.000], SD = [  0.000,   0.000,   0.000] =   0.000\n"),
              std::string::npos);
    EXPECT_NE(captured.find("V08 = ["), std::string::npos);
  }
  // Two members: radii in classes 0 and 4, a NaN mean warned and counted as zero.
  _trel_member_stats m[2]{};
  m[0].name = "one";
  m[0].radius = 10;
  m[0].n_residues = 3;
  m[0].mc_count = 3;
  m[0].mc_mean[1] = Point3D{1, 2, 3};
  m[0].mc_sd[1] = Point3D{1, 1, 1};
  m[0].count[0] = 2;
  m[0].t_mean[0] = Point3D{NAN, 0, 0};
  m[1].name = "two";
  m[1].radius = 60;
  m[1].n_residues = 1;
  m[1].mc_count = 1;
  m[1].mc_mean[1] = Point3D{3, 2, 1};
  m[1].count[0] = 2;
  m[1].t_mean[0] = Point3D{4, 4, 4};
  Capture cap;
  trel_doStats(2, m);
  EXPECT_NE(captured.find("Radius  < 20: 1\n"), std::string::npos);
  EXPECT_NE(captured.find("Radius  > 50: 1\n"), std::string::npos);
  EXPECT_NE(captured.find("Bad mu_ca for component 0 of structure one"), std::string::npos);
  // N: mean (3*(1,2,3) + 1*(3,2,1)) / 4; SD sqrt(2*1 / 2) = 1 per axis.
  EXPECT_NE(captured.find("N   = [  1.500,   2.000,   2.500], SD = [  1.000,   1.000,   1.000] =   1.732\n"),
            std::string::npos) << captured;
  // T01: (2*0 + 2*4) / 4 = 2.
  EXPECT_NE(captured.find("T01 = [  2.000,   2.000,   2.000]"), std::string::npos);
}

namespace {

// A database of n members named m00000, m00001, ... made from a small built
// one: member i has the tag of small member i % count, trace records
// included (several tags may share records). Big enough that a selection is
// filled on several threads. Returns the database name under db.root.
std::string wideDatabase(const Db& db, int n) {
  const std::string name = "wide";
  const std::string folder = db.root + name + "_trel/";
  fs::create_directories(folder);
  std::string master = testutil::read_file(db.file("master.dat"));
  const std::string tags = testutil::read_file(db.file("tags.dat"));
  int32_t count = 0;
  std::memcpy(&count, master.data(), sizeof count);
  const int64_t page = zam_page_size();
  const auto padded = [page](std::string s) {
    s.resize(static_cast<size_t>((static_cast<int64_t>(s.size()) + page - 1) / page * page), '\0');
    return s;
  };
  std::string names, wide_tags;
  for (int i = 0; i < n; i++) {
    char member[16];
    std::snprintf(member, sizeof member, "m%05d", i);
    names += member;
    names += '\0';
    wide_tags.append(tags, static_cast<size_t>(i % count) * 304, 304);
  }
  names = padded(names);
  wide_tags = padded(wide_tags);
  testutil::write_file(folder + "names.dat", names);
  testutil::write_file(folder + "tags.dat", wide_tags);
  fs::copy_file(db.file("traces.dat"), folder + "traces.dat");
  const int32_t members = n;
  const int64_t names_bytes = static_cast<int64_t>(names.size());
  const int64_t tags_bytes = static_cast<int64_t>(wide_tags.size());
  std::memcpy(&master[0], &members, sizeof members);
  std::memcpy(&master[32], &names_bytes, sizeof names_bytes);
  std::memcpy(&master[40], &tags_bytes, sizeof tags_bytes);
  testutil::write_file(folder + "master.dat", master);
  return name;
}

// What a selection gives, member by member, as offsets into the blocks.
std::vector<std::string> selection(_trel_db* h, _trel_thing** things, int count) {
  std::vector<std::string> out;
  for (int k = 0; k < count; k++) {
    const _trel_thing* t = things[k];
    if (!t) {
      out.push_back("null");
      continue;
    }
    out.push_back(std::string(t->name) + " " + std::to_string(t - h->members) + " " +
                  std::to_string(reinterpret_cast<const char*>(t->tag) - h->tags) + " " +
                  std::to_string(t->trace.seg ? reinterpret_cast<const char*>(t->trace.seg) - h->traces : -1) +
                  " " + std::to_string(t->trace.n) + " " + std::to_string(t->valid) +
                  std::to_string(t->member) + std::to_string(t->embedded) +
                  std::to_string(t->tag_borrowed) + std::to_string(t->trace_borrowed) +
                  std::to_string(t->binary) + (t->folder == h->folder ? " f" : " ?"));
  }
  return out;
}

// The 5,000-member database of the fill tests, and eight threads.
class DatabaseFill : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto files = sharedFiles(12);
    ASSERT_GE(files.size(), 10u) << "shared structures missing: " << testutil::shared_data() << "/pdb";
    db_ = std::make_unique<Db>(files);
    ASSERT_EQ(db_->built, 1);
    name = wideDatabase(*db_, 5000);
    zam_thread_setup(8);
  }
  std::unique_ptr<Db> db_;
  std::string name;
};

// One selection of the wide database, opened afresh or reusing h.
std::vector<std::string> select(_trel_db* h, char** only, int n_only, int min, int max,
                                int* count) {
  std::vector<_trel_thing*> things(static_cast<size_t>(h->n_members), nullptr);
  *count = trel_loadDatabase(h, things.data(), nullptr, nullptr, only, n_only, min, max, nullptr);
  return selection(h, things.data(), std::max(*count, 0));
}

}  // namespace

// A selection filled on several threads gives the same objects as one filled
// in order, for a new member array and for one selected from before, for all
// members, a list of names and a length window.
TEST_F(DatabaseFill, ThreadedFillMatchesAFillInOrder) {
  Db& db = *db_;
  std::vector<std::string> kept;
  for (int i = 3; i < 5000; i += 7) {
    char member[16];
    std::snprintf(member, sizeof member, "m%05d", i);
    kept.emplace_back(member);
  }
  std::vector<char*> only;
  for (auto& k : kept) only.push_back(k.data());
  const int n_only = static_cast<int>(only.size());

  struct Case {
    char** only;
    int n_only, min, max;
  } cases[] = {{nullptr, 0, 1, 1 << 30}, {only.data(), n_only, 1, 1 << 30}, {nullptr, 0, 40, 60}};
  for (const Case& c : cases) {
    std::vector<std::string> want[2];
    int counts[2][2] = {};
    for (int serial : {1, 0}) {
      zam_thread_serial(serial);
      _trel_db* h = trel_openDatabase(db.root.c_str(), name.c_str(), 0);
      ASSERT_NE(h, nullptr);
      ASSERT_EQ(h->n_members, 5000);
      want[serial] = select(h, c.only, c.n_only, c.min, c.max, &counts[serial][0]);
      // Selected again: the records are emptied and filled once more.
      EXPECT_EQ(select(h, c.only, c.n_only, c.min, c.max, &counts[serial][1]), want[serial]);
      trel_closeDatabase(h);
    }
    zam_thread_serial(0);
    EXPECT_EQ(counts[0][0], c.n_only > 0 ? c.n_only : 5000);
    EXPECT_EQ(counts[0][0], counts[1][0]);
    EXPECT_EQ(counts[0][1], counts[1][1]);
    EXPECT_EQ(want[0], want[1]) << "n_only " << c.n_only << " window " << c.min << "-" << c.max;
    if (c.min > 1) {
      // The window leaves some members without their trace records.
      const auto without = std::count_if(want[0].begin(), want[0].end(), [](const std::string& s) {
        return s.find(" -1 ") != std::string::npos;
      });
      EXPECT_GT(without, 0);
      EXPECT_LT(without, 5000);
    }
  }
}

// A member whose coefficients cannot be read ends the selection: with the
// fill spread over threads, the messages and the list are those of a fill
// in order (later slices fail too, but say nothing and fill nothing).
TEST_F(DatabaseFill, FailingMemberStopsTheSelectionAsInOrder) {
  Db& db = *db_;
  // Coefficients of order 1 for the first 3000 members' own classes.
  const std::string folder = db.root + name + "_trel/";
  {
    _trel_db* h = trel_openDatabase(db.root.c_str(), name.c_str(), 0);
    ASSERT_NE(h, nullptr);
    const double one[1] = {1.0};
    for (int i = 0; i < 3000; i++) {
      const _trel_tag* tag = reinterpret_cast<const _trel_tag*>(h->tags + 304LL * i);
      const std::string path = folder + h->member_names[i] + "_" + trel_potCode(tag->pot_class) + ".tau";
      ASSERT_EQ(trel_write_anlm(path.c_str(), 1, one), 1) << path;
    }
    trel_closeDatabase(h);
  }
  _trel_db_opts opts;
  opts.thing.filter_method = 1;
  opts.thing.q_max = 1;
  const int pots[TREL_POT_CLASSES] = {-1, 0, 0, 0, 0};
  std::string said[2];
  std::vector<std::string> got[2];
  for (int serial : {1, 0}) {
    zam_thread_serial(serial);
    _trel_db* h = trel_openDatabase(db.root.c_str(), name.c_str(), 0);
    ASSERT_NE(h, nullptr);
    std::vector<_trel_thing*> things(5000, nullptr);
    {
      Capture cap;
      EXPECT_EQ(trel_loadDatabase(h, things.data(), pots, nullptr, nullptr, 0, 1, 1 << 30, &opts), -1);
      said[serial] = captured;
    }
    got[serial] = selection(h, things.data(), 5000);
    int with_tau = 0;
    for (int i = 0; i < h->n_members; i++) with_tau += h->members[i].tau[h->members[i].tag ? h->members[i].tag->pot_class : 0] != nullptr;
    EXPECT_EQ(with_tau, 3000) << "serial " << serial;
    for (_trel_thing* t : things) trel_closeThing(nullptr, t);
    trel_closeDatabase(h);
  }
  zam_thread_serial(0);
  EXPECT_EQ(said[0], said[1]);
  // The reader's warning for the missing file, then the selection's error.
  EXPECT_EQ(said[1], "*Warning* Failed to open " + folder + "m03000_" +
                         trel_potCode(reinterpret_cast<const _trel_tag*>(
                                          testutil::read_file(folder + "tags.dat").data() + 304 * 3000)
                                          ->pot_class) +
                         ".tau.\n*Error* Failed to load SPF data for: m03000\n");
  EXPECT_EQ(got[0], got[1]);
  EXPECT_NE(got[0][3000], "null");
  EXPECT_EQ(got[0][3001], "null");
  EXPECT_EQ(got[0][4999], "null");
}

// A large map is released on several threads, slice by slice: it reads as
// its file up to the end, and afterwards its whole address range is free.
TEST(DatabaseMap, LargeMapReadsItsFileAndIsReleasedWhole) {
  TempDir dir;
  const std::string path = dir.str() + "/block.dat";
  const int64_t bytes = (int64_t{49} << 20) + 4096 * 3;  // not a whole number of slices
  {
    std::string data(static_cast<size_t>(bytes), '\0');
    for (int64_t i = 0; i < bytes; i += 4096) data[static_cast<size_t>(i)] = static_cast<char>(i / 4096 % 251 + 1);
    testutil::write_file(path, data);
  }
  zam_thread_setup(8);
  for (int serial : {0, 1}) {
    zam_thread_serial(serial);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char* block = static_cast<char*>(zam_mmap(fd, bytes));
    close(fd);
    ASSERT_NE(block, nullptr);
    bool same = true;
    for (int64_t i = 0; i < bytes; i += 4096) same = same && block[i] == static_cast<char>(i / 4096 % 251 + 1);
    EXPECT_TRUE(same);
    zam_munmap(block, bytes);
    // Nothing of the range is mapped any more: a fixed map that must not
    // replace anything fits exactly where the block was.
    void* again = mmap(block, static_cast<size_t>(bytes), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    EXPECT_EQ(again, static_cast<void*>(block)) << "serial " << serial;
    if (again != MAP_FAILED) munmap(again, static_cast<size_t>(bytes));
  }
  zam_thread_serial(0);
  zam_munmap(nullptr, bytes);
  EXPECT_EQ(zam_mmap(-1, bytes), nullptr);
}
