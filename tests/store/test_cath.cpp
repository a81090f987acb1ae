#include <climits>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "store/trel_cath.h"

namespace {

// Messages shown while a Messages lives, in g_out (log_capture.h); the
// domain list is closed when it goes.
std::string& g_out = testutil::Messages::said();
struct Messages : testutil::Messages {
  ~Messages() { trel_closeCath(); }
};

std::string fixture(const char* name) { return std::string(TREL_SOURCE_DIR) + "/tests/store/data/" + name; }

std::vector<int> code_of(const char* name, int* index = nullptr) {
  int code[4] = {9, 9, 9, 9};
  int at = trel_lookupCath(name, code);
  if (index) *index = at;
  return {code[0], code[1], code[2], code[3]};
}

std::string printed(const std::vector<int>& code) {
  char buffer[TREL_CATH_NAME_SIZE];
  return trel_cathName(code.data(), buffer);
}

std::vector<int> pattern(const char* text) {
  int code[4] = {7, 7, 7, 7};
  trel_setCathPattern(text, code);
  return {code[0], code[1], code[2], code[3]};
}

const std::vector<int> kNone = {0, 0, 0, 0};

}  // namespace

TEST(CathList, ReadsCathListWithKeyRulesAndSortedIndex) {
  Messages messages;
  std::string list = fixture("CathDomainList");
  ASSERT_EQ(trel_openCath(list.c_str(), TREL_CATH), 1);
  EXPECT_NE(g_out.find("Using CATH domain index:  " + list + "\n"), std::string::npos);
  EXPECT_EQ(g_out.find("Loaded"), std::string::npos) << "the list is read at the first look-up";

  int index = -2;
  EXPECT_EQ(code_of("1abcA00", &index), (std::vector<int>{3, 40, 50, 300}));
  EXPECT_EQ(index, 0);
  EXPECT_NE(g_out.find("Loaded 6 CATH codes (1 Mb) in "), std::string::npos) << g_out;
  // Malformed lines are skipped and named by file and line; comment-only and
  // blank lines are not.
  EXPECT_NE(g_out.find("Skipped line 17 of domain index " + list + ": 3badA00"), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 19 of domain index " + list), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 20 of domain index " + list), std::string::npos);
  EXPECT_EQ(g_out.find("line 18 "), std::string::npos);
  EXPECT_EQ(g_out.find("line 1 "), std::string::npos);

  // Key rules: 4 characters get "A00", 5 characters "00", a '_' chain "A00".
  EXPECT_EQ(code_of("1abc", &index), (std::vector<int>{3, 40, 50, 300}));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(code_of("1abcB", &index), (std::vector<int>{3, 40, 50, 300}));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(code_of("2def_", &index), (std::vector<int>{2, 60, 40, 10}));
  EXPECT_EQ(index, 5);
  EXPECT_EQ(code_of("2defB"), kNone);
  // Indices follow the byte order of the names: upper case before lower case.
  EXPECT_EQ(code_of("1abcdefgh", &index), (std::vector<int>{1, 20, 30, 40}));
  EXPECT_EQ(index, 2);
  EXPECT_EQ(code_of("1xyzA01", &index), (std::vector<int>{1, 10, 8, 10}));
  EXPECT_EQ(index, 3);
  EXPECT_EQ(code_of("1xyzA02", &index), (std::vector<int>{1, 10, 490, 20}));
  EXPECT_EQ(index, 4);

  // Skipped lines leave no entry; a name past 10 characters is never looked up.
  EXPECT_EQ(code_of("3badA00", &index), kNone);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(code_of("4hshA00"), kNone);
  EXPECT_EQ(code_of("5nonA00"), kNone);
  EXPECT_EQ(code_of("1abcdefghij", &index), kNone);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(code_of(nullptr, &index), kNone);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(printed({3, 40, 50, 300}), "3.40.50.300");
  EXPECT_EQ(printed({3, -1, 50, -7}), "3.0.50.0");
  // The widest code still fits the name buffer whole.
  EXPECT_EQ(printed({INT_MAX, INT_MAX, INT_MAX, INT_MAX}), "2147483647.2147483647.2147483647.2147483647");
}

TEST(CathList, ReadsScopListWithSanitisedNames) {
  Messages messages;
  ASSERT_EQ(trel_openCath(fixture("ScopDomainList").c_str(), TREL_SCOP), 1);
  EXPECT_NE(g_out.find("Using SCOP domain index:  "), std::string::npos);
  int index = -2;
  EXPECT_EQ(code_of("1abc", &index), (std::vector<int>{'a', 1, 1, 2}));
  EXPECT_EQ(index, 0);
  EXPECT_NE(g_out.find("Loaded 6 SCOP codes (1 Mb)"), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 10 of domain index"), std::string::npos);
  EXPECT_EQ(code_of("1abcb", &index), (std::vector<int>{'a', 1, 1, 2}));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(code_of("d2qrsa1"), (std::vector<int>{'b', 1, 18, 10}));
  EXPECT_EQ(code_of("3tuv_"), (std::vector<int>{'c', 37, 1, 8}));
  EXPECT_EQ(code_of("3tuv"), kNone);  // d3tuva_ is not in the list
  // A '.' in a list name is stored as '~'; keys are sanitised the same way.
  EXPECT_EQ(code_of("g1dhs.1", &index), (std::vector<int>{'d', 58, 7, 1}));
  EXPECT_EQ(index, 5);
  EXPECT_EQ(code_of("g1dhs~1"), (std::vector<int>{'d', 58, 7, 1}));
  // Missing dotted levels are 0.
  EXPECT_EQ(code_of("4wxyx"), (std::vector<int>{'b', 1, 0, 0}));
  EXPECT_EQ(code_of("5bad"), kNone);

  EXPECT_EQ(printed({97, 1, 1, 1}), "a.1.1.1");
  EXPECT_EQ(printed({0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(printed({200, 1, 2, 3}), "z.1.2.3");
  EXPECT_EQ(printed({65, 1, 2, 3}), "a.1.2.3");
  EXPECT_EQ(printed({-1, -1, 2, 3}), "0.0.2.3");
}

TEST(CathList, ReadsPfamSevenFieldList) {
  Messages messages;
  ASSERT_EQ(trel_openCath(fixture("PfamDomainList").c_str(), TREL_PFAM), 1);
  EXPECT_NE(g_out.find("Using PFAM domain index:  "), std::string::npos);
  int index = -2;
  EXPECT_EQ(code_of("1abc", &index), (std::vector<int>{42, 0, 0, 0}));
  EXPECT_EQ(index, 0);
  EXPECT_NE(g_out.find("Loaded 3 PFAM codes"), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 5 of domain index"), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 6 of domain index"), std::string::npos);
  EXPECT_EQ(code_of("2xyzB"), (std::vector<int>{7654, 0, 0, 0}));  // "pf" prefix too
  EXPECT_EQ(code_of("3qqq"), (std::vector<int>{123, 0, 0, 0}));    // no prefix
  EXPECT_EQ(code_of("4bad"), kNone);
  EXPECT_EQ(code_of("5bad"), kNone);
  EXPECT_EQ(printed({42, 0, 0, 0}), "PF00042");
  EXPECT_EQ(printed({-3, 0, 0, 0}), "PF00000");
}

TEST(CathList, ReadsEcodDomainsFile) {
  Messages messages;
  ASSERT_EQ(trel_openCath(fixture("EcodDomainList").c_str(), TREL_ECOD), 1);
  EXPECT_NE(g_out.find("Using ECOD domain index:  "), std::string::npos);
  int index = -2;
  EXPECT_EQ(code_of("1abc", &index), (std::vector<int>{2004, 1, 1, 38}));
  EXPECT_EQ(index, 1);
  EXPECT_NE(g_out.find("Loaded 4 ECOD codes"), std::string::npos);
  EXPECT_NE(g_out.find("Skipped line 8 of domain index"), std::string::npos);
  EXPECT_EQ(code_of("e1abcA2"), (std::vector<int>{2004, 1, 1, 40}));
  EXPECT_EQ(code_of("e2fghB1"), (std::vector<int>{11, 1, 1, 0}));  // missing level 0
  EXPECT_EQ(code_of("2fgh"), kNone);                                // key e2fghA1
  // A 5-character name is its own key.
  EXPECT_EQ(code_of("3mnoC", &index), (std::vector<int>{101, 1, 2, 7}));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(code_of("1abcA"), kNone);
  EXPECT_EQ(printed({2004, 1, 1, 38}), "2004.1.1.38");
}

TEST(CathList, MissingEmptyAndUselessLists) {
  Messages messages;
  testutil::TempDir dir;
  std::string missing = dir.file("CathDomainList");
  EXPECT_EQ(trel_openCath(missing.c_str(), TREL_CATH), 0);
  EXPECT_NE(g_out.find("*Warning* Failed to open domain index: " + missing + "\n"), std::string::npos);
  EXPECT_EQ(code_of("1abc"), kNone);
  EXPECT_EQ(g_out.find("Loaded"), std::string::npos);

  std::string empty = dir.file("Empty");
  testutil::write_file(empty, "");
  EXPECT_EQ(trel_openCath(empty.c_str(), TREL_SCOP), 0);
  EXPECT_EQ(trel_getCathType(), TREL_SCOP);

  // A list without valid lines is read once, not again at every look-up.
  std::string useless = dir.file("Useless");
  testutil::write_file(useless, "# only comments\n1abcA00 1 2 3\n");
  ASSERT_EQ(trel_openCath(useless.c_str(), TREL_CATH), 1);
  g_out.clear();
  EXPECT_EQ(code_of("1abc"), kNone);
  EXPECT_EQ(code_of("1abc"), kNone);
  size_t first = g_out.find("Loaded 0 CATH codes (0 Mb)");
  ASSERT_NE(first, std::string::npos) << g_out;
  EXPECT_EQ(g_out.find("Loaded", first + 1), std::string::npos);

  // A list that disappears between open and first look-up is reported by name.
  std::string gone = dir.file("Gone");
  testutil::write_file(gone, "1abcA00 1 2 3 4\n");
  ASSERT_EQ(trel_openCath(gone.c_str(), TREL_CATH), 1);
  std::filesystem::remove(gone);
  g_out.clear();
  EXPECT_EQ(code_of("1abc"), kNone);
  EXPECT_NE(g_out.find("Failed to read domain index: " + gone), std::string::npos) << g_out;

  // Closing forgets the list; an unknown type counts as CATH.
  trel_closeCath();
  EXPECT_EQ(code_of("1abc"), kNone);
  g_out.clear();
  ASSERT_EQ(trel_openCath(fixture("CathDomainList").c_str(), 17), 1);
  EXPECT_NE(g_out.find("Using CATH domain index:  "), std::string::npos);
  EXPECT_EQ(code_of("1abc"), (std::vector<int>{3, 40, 50, 300}));
}

// The loaders read the remembered list with their own line format whatever
// the active type, and a second load replaces the table instead of adding.
TEST(CathList, LoadersReadTheirOwnFormatAndReplaceTheTable) {
  Messages messages;
  EXPECT_EQ(load_cath_table(), 0);  // no list remembered
  testutil::TempDir dir;
  std::string list = dir.file("CathDomainList");
  testutil::write_file(list, "1abcA00 3 40 50 300 # a comment\n2xyzA00 1 2 3\n");
  ASSERT_EQ(trel_openCath(list.c_str(), TREL_CATH), 1);
  EXPECT_EQ(load_cath_table(), 1);
  EXPECT_NE(g_out.find("Skipped line 2 of domain index " + list), std::string::npos) << g_out;
  EXPECT_EQ(load_cath_table(), 1);
  g_out.clear();
  EXPECT_EQ(code_of("1abc"), (std::vector<int>{3, 40, 50, 300}));
  EXPECT_EQ(g_out.find("Loaded"), std::string::npos);  // no second reading

  ASSERT_EQ(trel_openCath(fixture("PfamDomainList").c_str(), TREL_CATH), 1);
  EXPECT_EQ(load_pfam_table(), 3);
  trel_setCathType(TREL_PFAM);
  EXPECT_EQ(code_of("2xyzB"), (std::vector<int>{7654, 0, 0, 0}));
  // Read as a SCOP list every line has its four fields, and the accession
  // "pf07654" is a class letter with no dotted levels.
  EXPECT_EQ(load_scop_table(), 5);
  EXPECT_EQ(code_of("2xyzB"), (std::vector<int>{'p', 0, 0, 0}));
  ASSERT_EQ(trel_openCath(fixture("EcodDomainList").c_str(), TREL_SCOP), 1);
  EXPECT_EQ(load_ecod_table(), 4);
  trel_setCathType(TREL_ECOD);
  EXPECT_EQ(code_of("e1abcA2"), (std::vector<int>{2004, 1, 1, 40}));
}

TEST(CathList, LargeListGrowsSortsAndWrapsLevels) {
  Messages messages;
  testutil::TempDir dir;
  std::string list = dir.file("CathDomainList");
  // 130000 names written in descending order: the table grows twice and the
  // sort must reverse them.
  std::string text;
  const int n = 130000;
  for (int i = n - 1; i >= 0; i--) {
    char line[80];
    snprintf(line, sizeof line, "x%06dA 1 %d %d %d\n", i, i % 7, i % 1000, i);
    text += line;
  }
  text += "dupA00 1 1 1 1\ndupA00 2 2 2 2\n";
  testutil::write_file(list, text);
  ASSERT_EQ(trel_openCath(list.c_str(), TREL_CATH), 1);
  int index = -2;
  EXPECT_EQ(code_of("x000000A", &index), (std::vector<int>{1, 0, 0, 0}));
  EXPECT_EQ(index, 2);  // after the two "dupA00" entries
  EXPECT_NE(g_out.find("Loaded 130002 CATH codes (3 Mb)"), std::string::npos) << g_out;
  EXPECT_EQ(code_of("x004711A", &index), (std::vector<int>{1, 4711 % 7, 711, 4711}));
  EXPECT_EQ(index, 2 + 4711);
  // Levels are kept in 16 bits and wrap outside that range.
  EXPECT_EQ(code_of("x040000A", &index), (std::vector<int>{1, 40000 % 7, 0, 40000 - 65536}));
  EXPECT_EQ(code_of("x129999A", &index), (std::vector<int>{1, 129999 % 7, 999, 129999 - 131072}));
  EXPECT_EQ(index, 2 + 129999);
  EXPECT_EQ(code_of("x130000A"), kNone);
  EXPECT_EQ(code_of("a"), kNone);
  // Duplicated names: either entry may be found.
  std::vector<int> dup = code_of("dupA00", &index);
  EXPECT_TRUE(index == 0 || index == 1);
  EXPECT_TRUE(dup == std::vector<int>({1, 1, 1, 1}) || dup == std::vector<int>({2, 2, 2, 2}));
}

TEST(CathPattern, ParsesAndMatchesWithWildcards) {
  Messages messages;
  trel_setCathType(TREL_CATH);
  EXPECT_EQ(pattern("3.40.*"), (std::vector<int>{3, 40, -1, -1}));
  EXPECT_EQ(pattern("3.40.50.300.7"), (std::vector<int>{3, 40, 50, 300}));
  EXPECT_EQ(pattern("3"), (std::vector<int>{3, -1, -1, -1}));
  EXPECT_EQ(pattern("*"), (std::vector<int>{-1, -1, -1, -1}));
  EXPECT_EQ(pattern("3..50"), (std::vector<int>{3, -1, 50, -1}));
  EXPECT_EQ(pattern(nullptr), (std::vector<int>{-1, -1, -1, -1}));
  EXPECT_EQ(pattern("99999999999999999999"), (std::vector<int>{2147483647, -1, -1, -1}));

  const int a[4] = {3, 40, 50, 300};
  const int b[4] = {2, 60, 40, 10};
  const int none[4] = {0, 0, 0, 0};
  std::vector<int> all = pattern("*");
  std::vector<int> three = pattern("3");
  std::vector<int> deep = pattern("3.40.50.301");
  EXPECT_EQ(trel_compareCath(a, all.data()), 1);
  EXPECT_EQ(trel_compareCath(b, all.data()), 1);
  EXPECT_EQ(trel_compareCath(a, three.data()), 1);
  EXPECT_EQ(trel_compareCath(b, three.data()), 0);
  EXPECT_EQ(trel_compareCath(a, deep.data()), 0);
  EXPECT_EQ(trel_compareCath(a, a), 1);
  EXPECT_EQ(trel_compareCath(a, b), 0);
  EXPECT_EQ(trel_compareCath(a, none), 0);  // 0 is a value, not a wildcard
  // A negative level on the code side matches anything too.
  const int partial[4] = {3, -1, -1, -1};
  EXPECT_EQ(trel_compareCath(partial, deep.data()), 1);

  trel_setCathType(TREL_SCOP);
  EXPECT_EQ(pattern("b.1"), (std::vector<int>{98, 1, -1, -1}));
  EXPECT_EQ(pattern("*.1.*.4"), (std::vector<int>{-1, 1, -1, 4}));
  trel_setCathType(TREL_PFAM);
  EXPECT_EQ(pattern("PF00042"), (std::vector<int>{42, -1, -1, -1}));
  EXPECT_EQ(pattern("pf7654"), (std::vector<int>{7654, -1, -1, -1}));
  EXPECT_EQ(pattern("123"), (std::vector<int>{123, -1, -1, -1}));
  EXPECT_EQ(pattern("*"), (std::vector<int>{-1, -1, -1, -1}));
  trel_setCathType(TREL_ECOD);
  EXPECT_EQ(pattern("2004.1"), (std::vector<int>{2004, 1, -1, -1}));
  trel_setCathType(TREL_CATH);
}
