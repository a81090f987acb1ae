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
                          {"H", 0},  {"", 0},    {"CA ", 0}, {" CA", 0}, {"ca", 0}};
  for (const Expect& e : table) {
    EXPECT_EQ(zam_isMainChain(e.name), e.value) << e.name;
    EXPECT_EQ(zam_isBackbone(e.name), e.value == 5 ? 0 : e.value) << e.name;
  }
  EXPECT_EQ(zam_isMainChain(nullptr), 0);
  EXPECT_EQ(zam_isAlphaCarbon("CA"), 1);
  EXPECT_EQ(zam_isAlphaCarbon("CA "), 0);
  EXPECT_EQ(zam_isAlphaCarbon("C"), 0);
  EXPECT_EQ(zam_isAlphaCarbon(nullptr), 0);
}

TEST(Classification, HydrogenAndSideChain) {
  const Expect hydrogens[] = {
      {"H", 1},    {"H1", 1},  {"1HB", 1},  {"2HG1", 1}, {"HG21", 1}, {"HA", 1},
      {"HB2", 1},  {"HD1", 1}, {"HE2", 1},  {"HH", 1},   {"HZ3", 1},  {"HN", 0},
      {"HXT", 0},  {"HO5'", 0}, {"NH1", 0}, {"CA", 0},   {"", 0},     {"1CB", 0},
      {"HG", 1},   {"9H", 1}};
  for (const Expect& e : hydrogens) EXPECT_EQ(zam_isHydrogen(e.name), e.value) << e.name;
  EXPECT_EQ(zam_isHydrogen(nullptr), 0);

  // CB is main chain but not backbone, so it counts as side chain.
  EXPECT_EQ(zam_isBackbone("CB"), 0);
  EXPECT_EQ(zam_isMainChain("CB"), 5);
  EXPECT_EQ(zam_isSideChain("CB"), 1);
  EXPECT_EQ(zam_isSideChain("CG1"), 1);
  EXPECT_EQ(zam_isSideChain("NH1"), 1);
  EXPECT_EQ(zam_isSideChain("HN"), 1);  // not a hydrogen by the name test
  EXPECT_EQ(zam_isSideChain("OXT"), 0);
  EXPECT_EQ(zam_isSideChain("CA"), 0);
  EXPECT_EQ(zam_isSideChain("HG21"), 0);
  EXPECT_EQ(zam_isSideChain(nullptr), 0);
}

TEST(Classification, OneLetterToThreeLetter) {
  const char* codes = "ARNDCEQGHILKMFPSTWYVBZJUO";
  const char* names[] = {"ALA", "ARG", "ASN", "ASP", "CYS", "GLU", "GLN", "GLY", "HIS",
                         "ILE", "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP",
                         "TYR", "VAL", "ASX", "GLX", "XLE", "SEC", "PYL"};
  for (size_t i = 0; i < std::strlen(codes); i++) EXPECT_STREQ(zam_aaName(codes[i]), names[i]);
  EXPECT_STREQ(zam_aaName('a'), "UNK");
  EXPECT_STREQ(zam_aaName('X'), "UNK");
  EXPECT_STREQ(zam_aaName('\0'), "UNK");
  EXPECT_STREQ(zam_aaName('-'), "UNK");
}

TEST(Classification, ResidueNamesToCodes) {
  struct Group {
    char code;
    const char* names;
  };
  // Every one of the 92 names, grouped by code, blank-separated.
  const Group groups[] = {
      {'A', "ALA DAL ABA AIB ORN"},
      {'R', "ARG DAR"},
      {'N', "ASN DSG"},
      {'D', "ASP DSP ASX"},
      {'C', "CYS DCY NPH CEA CSD CSW CSS CSO CME CSE CSX CYG OCS SMC CSP CSR 143"},
      {'U', "SEC"},
      {'E', "GLU DGL PCA CGU 5HP GLX"},
      {'Q', "GLN DGN"},
      {'G', "GLY SAR"},
      {'H', "HIS DHI HSE HSP HSD HIP HID HIE HSM"},
      {'I', "ILE DIL"},
      {'L', "LEU DLE XLE MLE NLE"},
      {'K', "LYS MLY KCX LLP PYL"},
      {'M', "MET CXM MSE FME SAM OMT"},
      {'P', "PRO DPR HYP"},
      {'F', "PHE DPN TPQ"},
      {'S', "SER DSN SEP SEB"},
      {'T', "THR DTH TPO BMT"},
      {'W', "TRP DTR"},
      {'Y', "TYR DTY PTR STY TYS"},
      {'V', "VAL DVA DIV MVA"},
  };
  int total = 0;
  for (const Group& g : groups) {
    std::string all = g.names;
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find(' ', at);
      if (end == std::string::npos) end = all.size();
      std::string name = all.substr(at, end - at);
      EXPECT_EQ(zam_aaCode(name.c_str()), g.code) << name;
      EXPECT_EQ(zam_isAA(name.c_str()), 1) << name;
      total++;
      at = end + 1;
    }
  }
  EXPECT_EQ(total, 92);

  // The two tables are not inverse to each other.
  EXPECT_EQ(zam_aaCode(zam_aaName('B')), 'D');
  EXPECT_EQ(zam_aaCode(zam_aaName('Z')), 'E');
  EXPECT_EQ(zam_aaCode(zam_aaName('J')), 'L');
  EXPECT_EQ(zam_aaCode(zam_aaName('O')), 'K');

  const char* unknown[] = {"ala", "UNK", "HOH", "ALA ", "AL", "ALAA", "", "DA", "A", "ZN"};
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
  const char* others[] = {"ADE", "DX", "a", "da", "", "ALA", "N", "PSU"};
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
                          {"O2P", 11}, {"OP3", 0}, {"O2'", 0}, {"C1", 0}, {"N9", 0}};
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
