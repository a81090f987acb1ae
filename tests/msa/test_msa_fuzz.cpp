// Bounded fuzzing of the score mode's readers: the multiple-alignment reader
// (FASTA and PIR text, plain or gzip, with separate or unified structure
// files, and its rmt transforms), the HOMSTRAD reference alignment, the
// SABMARK pair files and the SISY reference file. Each test mutates real
// inputs of the fixtures with a seeded mutator and feeds them to the reader
// and to what measures its result, for a short time (a second by default).
// Whatever the bytes, nothing may read or write out of bounds (the sanitizer
// build), an accepted alignment never indexes past a structure's residues,
// its M-scores stay within [0, 1], and a reference comparison leaves the
// given structures where they were.
//
// TREL_FUZZ_SECONDS sets the time of each test (600 for a long run outside
// CI) and TREL_FUZZ_SEED the seed. A long run names its working folder: on a
// crash the input that caused it is the newest file there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "common/test_util.h"
#include "msa/trel_msa_analysis.h"
#include "msa/trel_msa_input.h"
#include "msa/trel_msa_reference.h"
#include "output/trel_run_options.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

const std::string kFixtures = std::string(TREL_SOURCE_DIR) + "/tests/msa/fixtures/";

double fuzz_seconds() {
  const char* v = std::getenv("TREL_FUZZ_SECONDS");
  return v && *v ? std::atof(v) : 1.0;
}

uint64_t fuzz_seed() {
  const char* v = std::getenv("TREL_FUZZ_SEED");
  return v && *v ? std::strtoull(v, nullptr, 10) : 20261208u;
}

// Inputs are kept below this size, so that a run stays bounded in memory.
constexpr size_t kMaxBytes = 1 << 16;

// Texts made from seed texts by a few random edits at a time: bytes changed,
// pieces of the format inserted, ranges cut, copied or repeated, lines
// swapped, numbers made extreme, the text cut short.
struct Mutator {
  std::mt19937_64 rng;
  std::vector<std::string> seeds;
  std::vector<std::string> tokens;

  Mutator(uint64_t seed, std::vector<std::string> s, std::vector<std::string> t)
      : rng(seed), seeds(std::move(s)), tokens(std::move(t)) {}

  size_t below(size_t n) { return n ? (size_t)(rng() % n) : 0; }

  std::string next() {
    std::string x = seeds[below(seeds.size())];
    const size_t edits = 1 + below(8);
    for (size_t e = 0; e < edits; e++) edit(x);
    if (x.size() > kMaxBytes) x.resize(kMaxBytes);
    return x;
  }

  void edit(std::string& x) {
    const size_t at = below(x.size() + 1);
    switch (below(9)) {
      case 0:  // a byte, any value
        if (!x.empty()) x[below(x.size())] = (char)below(256);
        break;
      case 1:
        x.insert(at, tokens[below(tokens.size())]);
        break;
      case 2:  // a range cut
        x.erase(at, 1 + below(64));
        break;
      case 3: {  // a range copied elsewhere
        const std::string piece = x.substr(below(x.size() + 1), 1 + below(256));
        x.insert(below(x.size() + 1), piece);
        break;
      }
      case 4:
        x.resize(at);
        break;
      case 5: {  // two lines swapped
        const size_t a = x.rfind('\n', at), b = x.find('\n', below(x.size() + 1));
        if (a == std::string::npos || b == std::string::npos || a >= b) break;
        const size_t a_end = x.find('\n', a + 1);
        if (a_end >= b) break;
        const std::string la = x.substr(a, a_end - a), lb = x.substr(b, x.find('\n', b + 1) - b);
        x.replace(b, lb.size(), la);
        x.replace(a, la.size(), lb);
        break;
      }
      case 6: {  // a number made extreme
        static const char* const extreme[] = {"0", "-1", "-2147483649", "2147483648", "99999999999999999999",
                                              "nan", "inf", "1e308", "0x7fffffff", "007"};
        const size_t d = x.find_first_of("0123456789", at);
        if (d == std::string::npos) break;
        const size_t end = x.find_first_not_of("0123456789", d);
        x.replace(d, (end == std::string::npos ? x.size() : end) - d, extreme[below(10)]);
        break;
      }
      case 7: {  // a line of another seed
        const std::string& other = seeds[below(seeds.size())];
        const size_t from = other.find('\n', below(other.size() + 1));
        if (from == std::string::npos) break;
        x.insert(at, other.substr(from, other.find('\n', from + 1) - from));
        break;
      }
      default:  // a character repeated
        if (!x.empty()) x.insert(at, 1 + below(300), x[below(x.size())]);
        break;
    }
  }
};

// Messages are dropped while a fuzz test runs: the readers report every
// fault they meet, and a long run meets millions.
struct Quiet {
  zam_logger_fn old = zam_logger_callback([](const char*) {});
  ~Quiet() { zam_logger_callback(old); }
};

// A working folder made the current one while the test runs, holding a copy
// of the fixture set when one is named.
struct Workdir {
  TempDir dir;
  fs::path old = fs::current_path();
  explicit Workdir(const char* set = nullptr) {
    if (set) fs::copy(kFixtures + set, dir.path, fs::copy_options::recursive);
    fs::current_path(dir.path);
    if (fuzz_seconds() > 10) printf("fuzz working folder: %s\n", dir.str().c_str());
  }
  ~Workdir() { fs::current_path(old); }
};

// Runs one(input) on inputs from m until the time is up; returns how many ran.
long fuzz(Mutator& m, const char* what, const std::function<void(const std::string&)>& one) {
  const auto start = std::chrono::steady_clock::now();
  const auto stop = start + std::chrono::duration<double>(fuzz_seconds());
  long runs = 0;
  while (std::chrono::steady_clock::now() < stop && !::testing::Test::HasFailure()) {
    one(m.next());
    runs++;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  printf("fuzz %s: %ld executions in %.1f s (seed %llu)\n", what, runs, took.count(),
         (unsigned long long)fuzz_seed());
  ::testing::Test::RecordProperty("executions", (int)std::min<long>(runs, 2147483647L));
  return runs;
}

// What an accepted alignment must hold: cells index inside their row's
// structure, and both M-scores lie in [0, 1].
void check_alignment(_trel_msa* m) {
  ASSERT_GE(m->n_struct, 2);
  for (int s = 0; s < m->n_struct; s++) {
    const _pdb_image* image = m->images[s];
    for (int c = 0; c < m->n_col; c++) {
      const int i = m->residue_index[(size_t)c * m->n_struct + s];
      ASSERT_GE(i, -1);
      if (image) {
        ASSERT_LT(i, image->nres) << "row " << s << " column " << c;
      }
    }
  }
  double M = 0.0, span = 0.0;
  trel_mscoreMSA(m, &M, &span);
  EXPECT_GE(M, 0.0);
  EXPECT_LE(M, 1.0 + 1e-4);
  EXPECT_GE(span, 0.0);
  EXPECT_LE(span, 1.0 + 1e-4);
}

// CA position of every residue of every row, to see that a comparison put
// the structures back.
std::vector<Point3D> positions(const _trel_msa* m) {
  std::vector<Point3D> out;
  for (int s = 0; s < m->n_struct; s++)
    for (int i = 0; m->images[s] && i < m->images[s]->nres; i++) out.push_back(zam_ptPdbResidue(m->images[s], i));
  return out;
}

bool same_positions(const std::vector<Point3D>& a, const std::vector<Point3D>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].z != b[i].z) return false;
  return true;
}

// Fuzzes a reference comparison of q, then releases q: compare(text) makes
// the reference from text and returns what the comparison returned. The
// given structures must stay where they were.
void fuzz_reference(const char* what, _trel_msa* q, Mutator& m, const std::function<int(const std::string&)>& compare) {
  const std::vector<Point3D> before = positions(q);
  Quiet quiet;
  fuzz(m, what, [&](const std::string& text) {
    const int done = compare(text);
    ASSERT_TRUE(done == 0 || done == 1);
    if (done) {
      EXPECT_LE(q->ref_mscore, 1.0 + 1e-4);
    }
    ASSERT_TRUE(same_positions(before, positions(q)));
  });
  trel_freeMSA(q);
}

std::vector<std::string> common_tokens() {
  return {">", "\n", "\r\n", "\r", ">P1;", "structure:", ":", "*", "-", "/", ".", "?", "X", " ", "\t",
          std::string(1, '\0'), "\x7f", "\xc3\xa9", std::string(200, 'A'), std::string(40, '-'), ">>", "\n>\n"};
}

_trel_options quiet_options() {
  _trel_options o;
  o.write_pdb = 0;
  o.do_write = 0;
  o.with_unified = 0;
  o.job_name = nullptr;
  o.res_folder = nullptr;
  return o;
}

// The alignment reader: FASTA and PIR text of four zinc fingers, plain,
// with "\r\n" ends or gzip, the rows' structures in separate files or in a
// unified file of a model per row; and the rmt transforms of a loaded
// alignment.
TEST(MsaFuzz, AlignmentReaderAndTransforms) {
  TREL_REQUIRE_SHARED_DATA();
  Workdir work;
  const char* const ids[4] = {"1ard", "1zaa1", "1sp1", "1znf"};
  std::string unified, pir, rmt;
  const std::string fasta = read_file(kFixtures + "zf.afasta");
  for (int k = 0; k < 4; k++) {
    const std::string id = ids[k];
    fs::copy_file(shared_pdb("mustang-testdata/" + id + ".pdb"), id + ".pdb");
    unified += "MODEL " + std::to_string(k + 1) + "\n";
    for (const std::string& l : testutil::split_lines(read_file(id + ".pdb")))
      if (l.rfind("ATOM", 0) == 0) unified += l + "\n";
    unified += "ENDMDL\n";
    const size_t at = fasta.find(">" + id + ".pdb\n");
    ASSERT_NE(at, std::string::npos);
    const size_t from = fasta.find('\n', at) + 1;
    pir += ">P1;" + id + ".pdb\nstructure:" + id + "\n" + fasta.substr(from, fasta.find('\n', from) - from) + "*\n";
    rmt += ">" + id + ".pdb\n 0.36 0.48 -0.8, 1.5\n-0.8 0.6 0, -2\n 0.48 0.64 0.6, 0.25\n";
  }
  write_file("uni.pdb", unified);
  std::string crlf;
  for (char c : fasta) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string named = fasta;  // rows named as the models of uni.pdb
  for (const char* id : ids)
    named.replace(named.find(std::string(id) + ".pdb"), strlen(id) + 4, std::string("m_") + id);

  std::vector<std::string> tokens = common_tokens();
  for (const char* t : {"1ard.pdb", "1zaa1.pdb:A", "uni.pdb", "nofile", "sub/"}) tokens.push_back(t);
  tokens.push_back(std::string(300, 'n'));
  Mutator m(fuzz_seed(), {fasta, pir, crlf, named}, tokens);
  Mutator r(fuzz_seed() + 1, {rmt}, {">", "\n", ",", " , ", "nan", "inf", "-", "1e308", "1ard.pdb", "\n>1sp1.pdb\n"});
  _trel_options plain = quiet_options(), with_unified = quiet_options();
  with_unified.with_unified = 1;
  Quiet quiet;
  long runs = fuzz(m, "alignment reader", [&](const std::string& text) {
    // The kind of file: plain, gzip, or the alignment of the unified file.
    const size_t kind = m.below(4);
    std::string file = kind == 1 ? "case.fa.gz" : kind == 2 ? "uni.fa" : "case.fa";
    if (kind == 1) {
      _zam_file* f = zam_fopen(file.c_str(), "w");
      ASSERT_NE(f, nullptr);
      zam_fwrite(f, text.data(), (int64_t)text.size());
      zam_fclose(f);
    } else {
      write_file(file, text);
    }
    _trel_msa* msa = loadMSA(file.c_str(), "pdb", kind == 2 ? &with_unified : &plain);
    if (!msa) return;
    trel_checkMSA(msa, file.c_str(), &plain);
    check_alignment(msa);
    if (m.below(3) == 0) {
      write_file("case.rmt", r.next());
      if (trel_applyRMT(msa, "case.rmt") >= 0) check_alignment(msa);
    }
    for (int s = 1; s < msa->n_struct; s++)
      if (_trel_align* a = trel_extractMSA(0, s, msa, 8.0f)) trel_freeAlign(a);
    trel_freeMSA(msa);
  });
  EXPECT_GT(runs, 0);
}

// The HOMSTRAD family alignment of five trypsins compared with its own rows.
TEST(MsaFuzz, HomstradReference) {
  TREL_REQUIRE_SHARED_DATA();
  Workdir work("homstrad/tryps");
  const std::string ali = read_file("tryps.ali");
  _trel_options o = quiet_options();
  _trel_msa* ref = loadMSA("tryps.ali", "ent", &o);
  ASSERT_NE(ref, nullptr);
  std::string query;
  for (int s = 0; s < ref->n_struct; s++) {
    query += ">" + std::string(ref->names[s]) + ".ent\n";
    for (int c = 0; c < ref->n_col; c++) query += ref->letters[(size_t)c * ref->n_struct + s];
    query += "\n";
  }
  trel_freeMSA(ref);
  write_file("query.fa", query);
  _trel_msa* q = loadMSA("query.fa", "pdb", &o);
  ASSERT_NE(q, nullptr);
  std::vector<std::string> tokens = common_tokens();
  for (const char* t : {"1A0J_A", "1A5I_A_multi", "structureX:1A0L_A", "sequence:x:::::::0.00:0.00"})
    tokens.push_back(t);
  Mutator m(fuzz_seed() + 2, {ali}, tokens);
  fuzz_reference("HOMSTRAD reference", q, m, [&](const std::string& text) {
    write_file("ref.ali", text);
    return trel_analyseHOMSTRAD(q, "ref.ali", &o);
  });
}

// The SABMARK folder of four zinc fingers: one of its six pair files mutated
// at a time.
TEST(MsaFuzz, SabmarkPairFiles) {
  TREL_REQUIRE_SHARED_DATA();
  Workdir work("sabmark/zf");
  std::vector<std::string> names, seeds;
  for (const auto& e : fs::directory_iterator("."))
    if (e.path().extension() == ".fasta") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 6u);
  for (const std::string& n : names) seeds.push_back(read_file(n));
  std::string query = read_file(kFixtures + "zf.afasta");
  for (size_t at; (at = query.find(".pdb\n")) != std::string::npos;) query.replace(at, 5, ".ent\n");
  write_file("query.txt", query);
  _trel_options o = quiet_options();
  _trel_msa* q = loadMSA("query.txt", "pdb", &o);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(q->n_struct, 4);
  std::vector<std::string> tokens = common_tokens();
  for (const char* t : {"1ard", "1sp1_multi", "1znf.ent", "other"}) tokens.push_back(t);
  Mutator m(fuzz_seed() + 3, seeds, tokens);
  fuzz_reference("SABMARK pair files", q, m, [&](const std::string& text) {
    const size_t k = m.below(names.size());
    write_file(names[k], text);
    const int done = trel_analyseSABMARK(q, ".", &o);
    write_file(names[k], seeds[k]);
    return done;
  });
}

// The SISY reference file of three cytochromes: members, alternatives and
// equivalence rows.
TEST(MsaFuzz, SisyReferenceFile) {
  TREL_REQUIRE_SHARED_DATA();
  Workdir work("sisy/cytc");
  const std::string xml = read_file("cytc.xml");
  _trel_options o = quiet_options();
  _trel_msa* q = loadMSA("cytc.fasta", "pdb", &o);
  ASSERT_NE(q, nullptr);
  std::vector<std::string> tokens = {"<multiple-alignment", "<members", "<member>", "</member>", "<alternative",
                                     "<mequivalences", "<mrow>", "<mres>", "</mres>", "</mrow>", "\"", "\"0x7fffffff\"",
                                     "\"-1\"", "\"99\"", "\"100\"", ":", "6:G:D", ">", "<", "\n", "\r\n", " ",
                                     "d1lfma__multi", std::string(300, 'm')};
  Mutator m(fuzz_seed() + 4, {xml}, tokens);
  fuzz_reference("SISY reference", q, m, [&](const std::string& text) {
    write_file("fz.xml", text);
    return trel_analyseSISY(q, "fz.xml", &o);
  });
}

}  // namespace
