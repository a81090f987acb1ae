#include "structure/zam_residue.h"

#include <array>
#include <cstdint>
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

// Key of a name: its first four bytes, the first in the lowest byte, zero
// after the terminator. Names of five bytes or more get a key whose top byte
// is 0xff, which no name of the tables (three bytes at most) has.
constexpr uint32_t keyOf(std::string_view s) {
    uint32_t k = 0;
    for (size_t i = 0; i < s.size() && i < 4; ++i)
        k |= static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << (8 * i);
    return s.size() > 4 ? k | 0xff000000u : k;
}

inline uint32_t keyOf(const char* s) {
    uint32_t k = 0;
    for (int i = 0; i < 4; ++i) {
        if (!s[i]) return k;
        k |= static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << (8 * i);
    }
    return s[4] ? k | 0xff000000u : k;
}

// Residue names by key in an open-addressing table built at compile time:
// the PDB reader asks for the codes of every atom line it reads. A slot holds
// both codes ('X' where the name has none); an empty slot has key 0, which
// no name has (the empty name is not in the tables).
struct ResidueSlot {
    uint32_t key;
    char aa;
    char dna;
};

constexpr int kSlotBits = 9;
constexpr uint32_t kSlots = 1u << kSlotBits;

constexpr uint32_t slotOf(uint32_t key) { return (key * 2654435761u) >> (32 - kSlotBits); }

constexpr auto kResidueSlots = [] {
    std::array<ResidueSlot, kSlots> t{};
    auto put = [&t](std::string_view name, char aa, char dna) {
        const uint32_t key = keyOf(name);
        uint32_t i = slotOf(key);
        while (t[i].key != 0 && t[i].key != key) i = (i + 1) & (kSlots - 1);
        if (t[i].key == 0) t[i] = ResidueSlot{key, 'X', 'X'};
        // A name listed twice with two codes stops the build here.
        if ((aa && t[i].aa != 'X' && t[i].aa != aa) || (dna && t[i].dna != 'X' && t[i].dna != dna))
            throw "residue name with two codes";
        if (aa) t[i].aa = aa;
        if (dna) t[i].dna = dna;
    };
    for (const NameCode& e : kAminoNames) put(e.name, e.code, 0);
    for (const NameCode& e : kNucleotideNames) put(e.name, 0, e.code);
    return t;
}();

// The slot of a key, or null.
constexpr const ResidueSlot* residueSlot(uint32_t key) {
    if (key == 0) return nullptr;
    for (uint32_t i = slotOf(key);; i = (i + 1) & (kSlots - 1)) {
        const ResidueSlot& e = kResidueSlots[i];
        if (e.key == key) return &e;
        if (e.key == 0) return nullptr;
    }
}

constexpr uint32_t operator""_key(const char* s, size_t n) { return keyOf(std::string_view(s, n)); }

// The class tables above as switches on the key.
constexpr int mainChainClass(uint32_t key) {
    switch (key) {
        case "CA"_key: return 1;
        case "N"_key: return 2;
        case "C"_key: return 3;
        case "O"_key: return 4;
        case "CB"_key: return 5;
        case "OT"_key: case "OXT"_key: return 6;
        case "OT1"_key: return 7;
        case "OT2"_key: return 8;
        default: return 0;
    }
}

constexpr int sugarClass(uint32_t key) {
    switch (key) {
        case "C1'"_key: case "C1*"_key: return 1;
        case "C2'"_key: case "C2*"_key: return 2;
        case "C3'"_key: case "C3*"_key: return 3;
        case "C4'"_key: case "C4*"_key: return 4;
        case "C5'"_key: case "C5*"_key: return 5;
        case "O3'"_key: case "O3*"_key: return 6;
        case "O4'"_key: case "O4*"_key: return 7;
        case "O5'"_key: case "O5*"_key: return 8;
        case "P"_key: return 9;
        case "OP1"_key: case "O1P"_key: return 10;
        case "OP2"_key: case "O2P"_key: return 11;
        default: return 0;
    }
}

// The switches and the slots give what the tables say.
constexpr bool lookupsMatchTables() {
    for (const NameClass& e : kMainChain)
        if (mainChainClass(keyOf(e.name)) != e.cls) return false;
    for (const NameClass& e : kSugar)
        if (sugarClass(keyOf(e.name)) != e.cls) return false;
    for (const NameCode& e : kAminoNames)
        if (!residueSlot(keyOf(e.name)) || residueSlot(keyOf(e.name))->aa != e.code) return false;
    for (const NameCode& e : kNucleotideNames)
        if (!residueSlot(keyOf(e.name)) || residueSlot(keyOf(e.name))->dna != e.code) return false;
    return true;
}
static_assert(lookupsMatchTables());

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int zam_isAlphaCarbon(const char* name) {
    return name && name[0] == 'C' && name[1] == 'A' && name[2] == 0 ? 1 : 0;
}

int zam_isMainChain(const char* name) { return name ? mainChainClass(keyOf(name)) : 0; }

int zam_isBackbone(const char* name) {
    int cls = zam_isMainChain(name);
    return cls == 5 ? 0 : cls;
}

int zam_isHydrogen(const char* name) { return name ? zam_isHydrogenKey(keyOf(name)) : 0; }

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
    return name ? static_cast<char>(zam_residueCodesOfKey(keyOf(name)) & 0xff) : 'X';
}

int zam_isAA(const char* name) { return zam_aaCode(name) != 'X' ? 1 : 0; }

char zam_dnaCode(const char* name) {
    return name ? static_cast<char>(zam_residueCodesOfKey(keyOf(name)) >> 8) : 'X';
}

int zam_isDNA(const char* name) { return zam_dnaCode(name) != 'X' ? 1 : 0; }

int zam_isSugar(const char* name) { return name ? sugarClass(keyOf(name)) : 0; }

int zam_isBase(const char* name) {
    if (!name) return 0;
    std::string_view s(name);
    for (std::string_view b : kBaseAtoms)
        if (b == s) return 1;
    return 0;
}

uint32_t zam_nameKey(const char* name) { return name ? keyOf(name) : 0; }

int zam_residueCodesOfKey(uint32_t key) {
    const ResidueSlot* e = residueSlot(key);
    return e ? static_cast<unsigned char>(e->aa) | static_cast<unsigned char>(e->dna) << 8 : 'X' | 'X' << 8;
}

int zam_isMainChainKey(uint32_t key) { return mainChainClass(key); }

int zam_isSugarKey(uint32_t key) { return sugarClass(key); }

int zam_isHydrogenKey(uint32_t key) {
    // "H" alone, a digit then H, H then a digit, or H then A, B, G, D, E, H, Z.
    const char a = static_cast<char>(key & 0xff), b = static_cast<char>(key >> 8 & 0xff);
    if (a == 0) return 0;
    if (b == 0) return a == 'H' ? 1 : 0;
    if (isDigit(a) && b == 'H') return 1;
    if (a == 'H' && isDigit(b)) return 1;
    if (a == 'H') {
        switch (b) {
            case 'A': case 'B': case 'G': case 'D': case 'E': case 'H': case 'Z':
                return 1;
            default:
                break;
        }
    }
    return 0;
}
