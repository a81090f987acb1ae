#include "structure/zam_name_tables.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "structure/zam_data_file.h"

namespace {

constexpr int kLineChars = 80;
constexpr int kNameBytes = 5;

struct Coded {
  char name[kNameBytes];
  char code;
};

struct Translation {
  char residue[kNameBytes];
  char atom[kNameBytes];
  char internal[kNameBytes];
};

// Both tables and their first-use flags, behind one lock.
std::mutex table_lock;
std::vector<Coded> amino_acids;
std::vector<Coded> nucleotides;
std::vector<Translation> translations;
bool types_tried = false;
bool names_tried = false;

int loadTypes(const char* file) {
  types_tried = true;
  amino_acids.clear();
  nucleotides.clear();
  amino_acids.reserve(50);
  nucleotides.reserve(50);
  const _zam_data_kind kind{"residue_types.dat", "residue type file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    Coded c{};
    const bool good = f.size() == 3 && f[2].size() == 1 && zam_data_name(f[0], c.name, kNameBytes) &&
                      (f[1] == "AA" || f[1] == "DNA" || f[1] == "RNA" || f[1] == "UNK");
    if (!good) {
      zam_data_skip(line, "Bad residue type: line ignored");
      return;
    }
    c.code = f[2][0];
    if (f[1] == "AA") amino_acids.push_back(c);
    else if (f[1] != "UNK") nucleotides.push_back(c);
  });
  if (read < 0) {
    amino_acids.clear();
    nucleotides.clear();
  }
  amino_acids.shrink_to_fit();
  nucleotides.shrink_to_fit();
  return int(amino_acids.size() + nucleotides.size());
}

int loadNames(const char* file) {
  names_tried = true;
  translations.clear();
  translations.reserve(50);
  const _zam_data_kind kind{"atom_names.dat", "atom names file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    Translation t{};
    if (f.size() != 3 || !zam_data_name(f[0], t.residue, kNameBytes) ||
        !zam_data_name(f[1], t.atom, kNameBytes) || !zam_data_name(f[2], t.internal, kNameBytes)) {
      zam_data_skip(line, "Bad atom name: line ignored");
      return;
    }
    translations.push_back(t);
  });
  if (read < 0) translations.clear();
  translations.shrink_to_fit();
  return int(translations.size());
}

// The code of name in table (types loaded on first use; lock held), or 0.
char codeOf(const std::vector<Coded>& table, const char* name) {
  if (!types_tried) loadTypes("");
  if (!name) return 0;
  for (const Coded& c : table)
    if (!std::strcmp(c.name, name)) return c.code;
  return 0;
}

bool coded(char c) { return c != 0 && c != 'X' && c != '-'; }

}  // namespace

int zam_open_residue_data(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return loadTypes(file);
}

char zam_aa_code(const char* name) {
  std::lock_guard<std::mutex> guard(table_lock);
  return codeOf(amino_acids, name);
}

char zam_dna_code(const char* name) {
  std::lock_guard<std::mutex> guard(table_lock);
  return codeOf(nucleotides, name);
}

int zam_is_aa(const char* name) { return coded(zam_aa_code(name)) ? 1 : 0; }
int zam_is_dna(const char* name) { return coded(zam_dna_code(name)) ? 1 : 0; }

char zam_short_code(const char* name) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (const char c = codeOf(amino_acids, name)) return c;
  if (const char c = codeOf(nucleotides, name)) return c;
  return 'X';
}

int zam_open_names(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return loadNames(file);
}

const char* zam_internal_name(const char* residue, const char* atom) {
  // PDB files may write a hydrogen's number first ("1HB"); the tables use the
  // form with the number last.
  thread_local char normal[kNameBytes];
  const char* a = atom ? atom : "";
  const size_t n = strnlen(a, kNameBytes - 1);
  if (n > 1 && std::isdigit(static_cast<unsigned char>(a[0]))) {
    std::memcpy(normal, a + 1, n - 1);
    normal[n - 1] = a[0];
    normal[n] = '\0';
  } else {
    std::memcpy(normal, a, n);
    normal[n] = '\0';
  }
  std::lock_guard<std::mutex> guard(table_lock);
  if (!names_tried) loadNames("");
  const Translation* generic = nullptr;
  for (const Translation& t : translations) {
    if (std::strcmp(t.atom, normal) != 0) continue;
    if (residue && !std::strcmp(t.residue, residue)) return t.internal;
    if (!generic && !std::strcmp(t.residue, "elm")) generic = &t;
  }
  return generic ? generic->internal : normal;
}
