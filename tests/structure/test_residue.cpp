#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "structure/zam_residue.h"

namespace {

struct Expect {
  const char* name;
  int value;
};

TEST(Classification, MainChainClasses) {
  const Expect table[] = {{"CA", 1}, {"N", 2},   {"C", 3},   {"O", 4},   {"CB", 5},
                          {"OT", 6}, {"OXT", 6}, {"OT1", 7}, {"OT2", 8}, {"CG", 0},
                          {"H", 0},  {"", 0},    {"CA ", 0}, {" CA", 0}, {"ca", 0},
                          {"OXT1", 0}, {"CAAAA", 0}};
  for (const Expect& e : table) {
    EXPECT_EQ(zam_isMainChain(e.name), e.value) << e.name;
    EXPECT_EQ(zam_isBackbone(e.name), e.value == 5 ? 0 : e.value) << e.name;
  }
  EXPECT_EQ(zam_isMainChain(nullptr), 0);
  EXPECT_EQ(zam_isAlphaCarbon("CA"), 1);
  EXPECT_EQ(zam_isAlphaCarbon("CA "), 0);
  EXPECT_EQ(zam_isAlphaCarbon("C"), 0);
  EXPECT_EQ(zam_isAlphaCarbon("CAB"), 0);
  EXPECT_EQ(zam_isAlphaCarbon(nullptr), 0);
}

TEST(Classification, HydrogenAndSideChain) {
  const Expect hydrogens[] = {
      {"H", 1},    {"H1", 1},  {"1HB", 1},  {"2HG1", 1}, {"HG21", 1}, {"HA", 1},
      {"HB2", 1},  {"HD1", 1}, {"HE2", 1},  {"HH", 1},   {"HZ3", 1},  {"HN", 0},
      {"HXT", 0},  {"HO5'", 0}, {"NH1", 0}, {"CA", 0},   {"", 0},     {"1CB", 0},
      {"HG", 1},   {"9H", 1},  {"H1234567", 1}};
  for (const Expect& e : hydrogens) EXPECT_EQ(zam_isHydrogen(e.name), e.value) << e.name;
  EXPECT_EQ(zam_isHydrogen(nullptr), 0);

  // CB is main chain but not backbone, so it counts as side chain.
  EXPECT_EQ(zam_isBackbone("CB"), 0);
  EXPECT_EQ(zam_isMainChain("CB"), 5);
  EXPECT_EQ(zam_isSideChain("CB"), 1);
  EXPECT_EQ(zam_isSideChain("CG1"), 1);
  EXPECT_EQ(zam_isSideChain("NH1"), 1);
  EXPECT_EQ(zam_isSideChain("CAAAAB"), 1);
  EXPECT_EQ(zam_isSideChain("HN"), 1);  // not a hydrogen by the name test
  EXPECT_EQ(zam_isSideChain("OXT"), 0);
  EXPECT_EQ(zam_isSideChain("CA"), 0);
  EXPECT_EQ(zam_isSideChain("HG21"), 0);
  EXPECT_EQ(zam_isSideChain(nullptr), 0);
}

// One-letter codes to names and back: the standard residues, their D forms,
// modified residues of deposited structures under their parent's code, the
// ambiguity codes, and the four codes whose round trip lands elsewhere.
TEST(Classification, ResidueNamesAndCodes) {
  const struct {
    const char* name;
    char code;
  } known[] = {{"ALA", 'A'}, {"TRP", 'W'}, {"DAL", 'A'}, {"DTY", 'Y'}, {"MSE", 'M'}, {"SEP", 'S'},
               {"TPO", 'T'}, {"PTR", 'Y'}, {"HYP", 'P'}, {"CSO", 'C'}, {"143", 'C'}, {"PCA", 'E'},
               {"HSD", 'H'}, {"HIE", 'H'}, {"ASX", 'D'}, {"GLX", 'E'}, {"XLE", 'L'}, {"SEC", 'U'},
               {"PYL", 'K'}, {"AIB", 'A'}, {"SAR", 'G'}};
  for (const auto& k : known) {
    EXPECT_EQ(zam_aaCode(k.name), k.code) << k.name;
    EXPECT_EQ(zam_isAA(k.name), 1) << k.name;
  }
  EXPECT_STREQ(zam_aaName('A'), "ALA");
  EXPECT_STREQ(zam_aaName('W'), "TRP");
  EXPECT_STREQ(zam_aaName('U'), "SEC");
  // The two tables are not inverse to each other.
  EXPECT_EQ(zam_aaCode(zam_aaName('B')), 'D');
  EXPECT_EQ(zam_aaCode(zam_aaName('Z')), 'E');
  EXPECT_EQ(zam_aaCode(zam_aaName('J')), 'L');
  EXPECT_EQ(zam_aaCode(zam_aaName('O')), 'K');
  for (char c : {'a', 'X', '\0', '-'}) EXPECT_STREQ(zam_aaName(c), "UNK") << int(c);

  const char* unknown[] = {"ala", "UNK", "HOH", "ALA ", "AL", "ALAA", "ALAALA", "MS", "MSEX",
                           "",    "DA",  "A",   "ZN",   "\xff\xff\xff"};
  for (const char* name : unknown) {
    EXPECT_EQ(zam_aaCode(name), 'X') << name;
    EXPECT_EQ(zam_isAA(name), 0) << name;
  }
  EXPECT_EQ(zam_aaCode(nullptr), 'X');
  EXPECT_EQ(zam_isAA(nullptr), 0);
}

TEST(Classification, Nucleotides) {
  const char* bases = "ACIGTU";
  for (const char* b = bases; *b; b++) {
    std::string plain(1, *b), plus = "+" + plain, deoxy = "D" + plain;
    EXPECT_EQ(zam_dnaCode(plain.c_str()), *b);
    EXPECT_EQ(zam_dnaCode(plus.c_str()), *b);
    EXPECT_EQ(zam_dnaCode(deoxy.c_str()), *b);
    EXPECT_EQ(zam_isDNA(deoxy.c_str()), 1);
  }
  const char* others[] = {"ADE", "DX", "DAX", "a", "da", "", "ALA", "N", "PSU"};
  for (const char* name : others) {
    EXPECT_EQ(zam_dnaCode(name), 'X') << name;
    EXPECT_EQ(zam_isDNA(name), 0) << name;
  }
  EXPECT_EQ(zam_dnaCode(nullptr), 'X');
  // A nucleotide is not an amino acid and the other way round.
  EXPECT_EQ(zam_aaCode("DA"), 'X');
  EXPECT_EQ(zam_dnaCode("ALA"), 'X');
}

TEST(Classification, SugarAndBaseAtoms) {
  const Expect sugar[] = {{"C1'", 1}, {"C1*", 1}, {"C2'", 2}, {"C2*", 2}, {"C3'", 3},
                          {"C3*", 3}, {"C4'", 4}, {"C4*", 4}, {"C5'", 5}, {"C5*", 5},
                          {"O3'", 6}, {"O3*", 6}, {"O4'", 7}, {"O4*", 7}, {"O5'", 8},
                          {"O5*", 8}, {"P", 9},   {"OP1", 10}, {"O1P", 10}, {"OP2", 11},
                          {"O2P", 11}, {"OP3", 0}, {"O2'", 0}, {"C1", 0}, {"N9", 0},
                          {"C4'X", 0}, {"C4'XYZ", 0}};
  for (const Expect& e : sugar) EXPECT_EQ(zam_isSugar(e.name), e.value) << e.name;
  EXPECT_EQ(zam_isSugar(nullptr), 0);

  const char* base[] = {"N1", "N2", "N3", "N4", "N6", "N7", "N9", "O2",
                        "O4", "C2", "C4", "C5", "C5M", "C6", "C8"};
  for (const char* name : base) EXPECT_EQ(zam_isBase(name), 1) << name;
  const char* notBase[] = {"N5", "O6", "C7", "C1'", "P", "", "N"};
  for (const char* name : notBase) EXPECT_EQ(zam_isBase(name), 0) << name;
  EXPECT_EQ(zam_isBase(nullptr), 0);
}

}  // namespace
