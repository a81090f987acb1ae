#include "structure/zam_residue.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

struct NameCode {
    std::string_view name;
    char code;
};

struct NameClass {
    std::string_view name;
    int cls;
};

// Residue names to one-letter codes. Modified and D-amino acids map to the
// code of their parent residue, so a structure with selenomethionine or a
// phosphoserine still reads as the protein sequence it carries.
constexpr NameCode kAminoNames[] = {
    {"ALA", 'A'}, {"DAL", 'A'}, {"ABA", 'A'}, {"AIB", 'A'}, {"ORN", 'A'},
    {"ARG", 'R'}, {"DAR", 'R'},
    {"ASN", 'N'}, {"DSG", 'N'},
    {"ASP", 'D'}, {"DSP", 'D'}, {"ASX", 'D'},
    {"CYS", 'C'}, {"DCY", 'C'}, {"NPH", 'C'}, {"CEA", 'C'}, {"CSD", 'C'}, {"CSW", 'C'},
    {"CSS", 'C'}, {"CSO", 'C'}, {"CME", 'C'}, {"CSE", 'C'}, {"CSX", 'C'}, {"CYG", 'C'},
    {"OCS", 'C'}, {"SMC", 'C'}, {"CSP", 'C'}, {"CSR", 'C'}, {"143", 'C'},
    {"SEC", 'U'},
    {"GLU", 'E'}, {"DGL", 'E'}, {"PCA", 'E'}, {"CGU", 'E'}, {"5HP", 'E'}, {"GLX", 'E'},
    {"GLN", 'Q'}, {"DGN", 'Q'},
    {"GLY", 'G'}, {"SAR", 'G'},
    {"HIS", 'H'}, {"DHI", 'H'}, {"HSE", 'H'}, {"HSP", 'H'}, {"HSD", 'H'}, {"HIP", 'H'},
    {"HID", 'H'}, {"HIE", 'H'}, {"HSM", 'H'},
    {"ILE", 'I'}, {"DIL", 'I'},
    {"LEU", 'L'}, {"DLE", 'L'}, {"XLE", 'L'}, {"MLE", 'L'}, {"NLE", 'L'},
    {"LYS", 'K'}, {"MLY", 'K'}, {"KCX", 'K'}, {"LLP", 'K'}, {"PYL", 'K'},
    {"MET", 'M'}, {"CXM", 'M'}, {"MSE", 'M'}, {"FME", 'M'}, {"SAM", 'M'}, {"OMT", 'M'},
    {"PRO", 'P'}, {"DPR", 'P'}, {"HYP", 'P'},
    {"PHE", 'F'}, {"DPN", 'F'}, {"TPQ", 'F'},
    {"SER", 'S'}, {"DSN", 'S'}, {"SEP", 'S'}, {"SEB", 'S'},
    {"THR", 'T'}, {"DTH", 'T'}, {"TPO", 'T'}, {"BMT", 'T'},
    {"TRP", 'W'}, {"DTR", 'W'},
    {"TYR", 'Y'}, {"DTY", 'Y'}, {"PTR", 'Y'}, {"STY", 'Y'}, {"TYS", 'Y'},
    {"VAL", 'V'}, {"DVA", 'V'}, {"DIV", 'V'}, {"MVA", 'V'},
};
static_assert(std::size(kAminoNames) == 92);

// The same table sorted by name for binary search: the PDB reader asks for
// the code of every line it reads.
constexpr auto kAminoSorted = [] {
    std::array<NameCode, std::size(kAminoNames)> t{};
    std::copy(std::begin(kAminoNames), std::end(kAminoNames), t.begin());
    std::sort(t.begin(), t.end(), [](const NameCode& a, const NameCode& b) { return a.name < b.name; });
    return t;
}();

constexpr NameCode kOneToThree[] = {
    {"ALA", 'A'}, {"ARG", 'R'}, {"ASN", 'N'}, {"ASP", 'D'}, {"CYS", 'C'},
    {"GLU", 'E'}, {"GLN", 'Q'}, {"GLY", 'G'}, {"HIS", 'H'}, {"ILE", 'I'},
    {"LEU", 'L'}, {"LYS", 'K'}, {"MET", 'M'}, {"PHE", 'F'}, {"PRO", 'P'},
    {"SER", 'S'}, {"THR", 'T'}, {"TRP", 'W'}, {"TYR", 'Y'}, {"VAL", 'V'},
    {"ASX", 'B'}, {"GLX", 'Z'}, {"XLE", 'J'}, {"SEC", 'U'}, {"PYL", 'O'},
};

constexpr NameCode kNucleotideNames[] = {
    {"A", 'A'}, {"+A", 'A'}, {"DA", 'A'},
    {"C", 'C'}, {"+C", 'C'}, {"DC", 'C'},
    {"I", 'I'}, {"+I", 'I'}, {"DI", 'I'},
    {"G", 'G'}, {"+G", 'G'}, {"DG", 'G'},
    {"T", 'T'}, {"+T", 'T'}, {"DT", 'T'},
    {"U", 'U'}, {"+U", 'U'}, {"DU", 'U'},
};

constexpr NameClass kMainChain[] = {
    {"CA", 1}, {"N", 2}, {"C", 3}, {"O", 4}, {"CB", 5},
    {"OT", 6}, {"OXT", 6}, {"OT1", 7}, {"OT2", 8},
};

// Both the current (C1') and the old (C1*) spellings of sugar atoms.
constexpr NameClass kSugar[] = {
    {"C1'", 1}, {"C1*", 1}, {"C2'", 2}, {"C2*", 2}, {"C3'", 3}, {"C3*", 3},
    {"C4'", 4}, {"C4*", 4}, {"C5'", 5}, {"C5*", 5}, {"O3'", 6}, {"O3*", 6},
    {"O4'", 7}, {"O4*", 7}, {"O5'", 8}, {"O5*", 8}, {"P", 9},
    {"OP1", 10}, {"O1P", 10}, {"OP2", 11}, {"O2P", 11},
};

constexpr std::string_view kBaseAtoms[] = {
    "N1", "N2", "N3", "N4", "N6", "N7", "N9", "O2", "O4",
    "C2", "C4", "C5", "C5M", "C6", "C8",
};

template <typename Table>
int classOf(const Table& table, const char* name) {
    if (!name) return 0;
    std::string_view s(name);
    for (const NameClass& e : table)
        if (e.name == s) return e.cls;
    return 0;
}

char codeOf(const NameCode* first, const NameCode* last, const char* name) {
    if (!name) return 'X';
    std::string_view s(name);
    for (const NameCode* e = first; e != last; ++e)
        if (e->name == s) return e->code;
    return 'X';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int zam_isAlphaCarbon(const char* name) {
    return name && std::string_view(name) == "CA" ? 1 : 0;
}

int zam_isMainChain(const char* name) { return classOf(kMainChain, name); }

int zam_isBackbone(const char* name) {
    int cls = zam_isMainChain(name);
    return cls == 5 ? 0 : cls;
}

int zam_isHydrogen(const char* name) {
    if (!name) return 0;
    std::string_view s(name);
    if (s == "H") return 1;
    if (s.size() < 2) return 0;
    if (isDigit(s[0]) && s[1] == 'H') return 1;
    if (s[0] == 'H' && isDigit(s[1])) return 1;
    if (s[0] == 'H') {
        switch (s[1]) {
            case 'A': case 'B': case 'G': case 'D': case 'E': case 'H': case 'Z':
                return 1;
            default:
                break;
        }
    }
    return 0;
}

int zam_isSideChain(const char* name) {
    if (!name) return 0;
    return zam_isBackbone(name) == 0 && zam_isHydrogen(name) == 0 ? 1 : 0;
}

const char* zam_aaName(char code) {
    for (const NameCode& e : kOneToThree)
        if (e.code == code) return e.name.data();
    return "UNK";
}

char zam_aaCode(const char* name) {
    if (!name) return 'X';
    std::string_view s(name);
    auto it = std::lower_bound(kAminoSorted.begin(), kAminoSorted.end(), s,
                               [](const NameCode& e, std::string_view key) { return e.name < key; });
    return it != kAminoSorted.end() && it->name == s ? it->code : 'X';
}

int zam_isAA(const char* name) { return zam_aaCode(name) != 'X' ? 1 : 0; }

char zam_dnaCode(const char* name) {
    return codeOf(std::begin(kNucleotideNames), std::end(kNucleotideNames), name);
}

int zam_isDNA(const char* name) { return zam_dnaCode(name) != 'X' ? 1 : 0; }

int zam_isSugar(const char* name) { return classOf(kSugar, name); }

int zam_isBase(const char* name) {
    if (!name) return 0;
    std::string_view s(name);
    for (std::string_view b : kBaseAtoms)
        if (b == s) return 1;
    return 0;
}
