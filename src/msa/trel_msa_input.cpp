#include "msa/trel_msa_input.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "geometry/zam_transform.h"
#include "msa/trel_msa_analysis.h"
#include "msa/trel_msa_reference.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

// A carriage return counts as a blank: lines ended by "\r\n" give the same
// names and letters as lines ended by "\n".
bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char* text(const char* s) { return s ? s : ""; }

// The root of the base name: folders and the last extension removed (a
// leading '.' is kept). Done on the string itself, so that a name of any
// length is kept whole.
std::string base_root(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash + 1 < path.size()) path = path.substr(slash + 1);
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot > 0) path.resize(dot);
  return path;
}

// One record of the alignment file as parsed.
struct Record {
  std::string token;     // the header's name, cut at its first ':'
  std::string name;      // row name: root of the base name of token
  std::string sequence;  // letters with blanks removed
  std::string path;      // the row's PDB file; empty when none was found
  std::string unpacked;  // path without the ".gz" or ".bz2" that zam_findPacked put on
  std::string structure; // the name its structure and result files take
  bool renamed = false;  // structure was numbered apart from another row's, and the row too
  int64_t line = 0;      // line of the header in the text, from 1
  // Where the text lines of the sequence begin: (index of their first letter
  // in sequence, line from 1), one pair for each line that holds letters.
  std::vector<std::pair<size_t, int64_t>> line_starts;
};

// The line of the text that holds letter i of the row's sequence (the
// header's line for a row with no letters).
int64_t line_of_letter(const Record& r, size_t i) {
  const auto after = std::upper_bound(r.line_starts.begin(), r.line_starts.end(), i,
                                      [](size_t at, const std::pair<size_t, int64_t>& p) { return at < p.first; });
  return after == r.line_starts.begin() ? r.line : std::prev(after)->second;
}

// A file named after the alignment file: its folder and root name with ext.
// The ending of a packed alignment goes first, so that "aln.fasta.gz" gives
// aln.rmt and aln.pdb, as "aln.fasta" does.
std::string beside_alignment(const char* msa_file, const char* ext) {
  std::string plain = text(msa_file);
  const size_t dot = plain.rfind('.'), slash = plain.rfind('/');
  if (zam_fkind(plain.c_str()) && dot > (slash == std::string::npos ? 0 : slash + 1)) plain.resize(dot);
  return zam_filenameS(plain, ext);
}

// Where a message about the text points: " of <file>" when it has a name.
std::string in_file(const char* file) { return file ? std::string(" of ") + file : std::string(); }

// The records of buffer (read from file, when named); parsing stops at a
// header without a newline.
std::vector<Record> parse_records(int64_t length, const char* buffer, const char* file) {
  std::vector<Record> records;
  int64_t at = findChar(0, '>', buffer, length);
  int64_t line = 1, counted = 0;  // lines before position counted
  while (at < length) {
    line += std::count(buffer + counted, buffer + at, '\n');
    counted = at;
    const int64_t eol = findChar(at + 1, '\n', buffer, length);
    if (eol >= length) {
      if (file)
        zam_wrn("Bad line in sequence file at character position %lld (%s, line %lld)\n", (long long)at, file,
                (long long)line);
      else
        zam_wrn("Bad line in sequence file at character position %lld (line %lld)\n", (long long)at, (long long)line);
      break;
    }
    Record r;
    r.line = line;
    char* name = nullptr;
    int64_t seq_start = eol + 1;
    if (length - at > 3 && strncmp(buffer + at + 1, "P1;", 3) == 0) {
      getNonBlanks(buffer, at + 4, eol, &name);
      const int64_t desc_end = findChar(seq_start, '\n', buffer, length);
      seq_start = desc_end < length ? desc_end + 1 : length;
    } else {
      getFirstToken(buffer, at + 1, eol, &name);
    }
    r.token = text(name);
    kfree(name);
    r.token = r.token.substr(0, r.token.find(':'));
    r.name = r.structure = base_root(r.token);
    const int64_t next = findChar(std::min(seq_start, length), '>', buffer, length);
    int64_t seq_line = line + std::count(buffer + at, buffer + std::min(seq_start, length), '\n');
    bool line_begins = true;
    for (int64_t i = seq_start; i < next; i++) {
      if (buffer[i] == '\n') {
        seq_line++;
        line_begins = true;
      } else if (!blank(buffer[i])) {
        if (line_begins) r.line_starts.emplace_back(r.sequence.size(), seq_line);
        line_begins = false;
        r.sequence += buffer[i];
      }
    }
    if (!r.sequence.empty() && r.sequence.back() == '*') r.sequence.pop_back();
    records.push_back(std::move(r));
    at = next;
  }
  return records;
}

// The name of the row in the loaded alignment: as written, unless its
// structure had to be given another.
const std::string& row_name(const Record& r) { return r.renamed ? r.structure : r.name; }

// Separate structure files: each row's PDB file. A structure is named as
// the plain file would be: "x.pdb.gz" gives the structure x, and the result
// files x_..., as "x.pdb" does.
void find_separate(std::vector<Record>& records, const char* pdb_extension) {
  for (Record& r : records) {
    // The name as written, then with the extension put on; either may be
    // there as a gzip or bzip2 copy (a folder, "sub/", is no file).
    for (const std::string& name : {r.token, zam_filenameS(r.token, pdb_extension)}) {
      r.path = r.token.empty() ? "" : zam_findPacked(name);
      if (!r.path.empty()) {
        r.unpacked = name;
        r.structure = base_root(name);
        break;
      }
    }
    if (r.path.empty()) zam_wrn("Failed to find PDB file for structure <%s>\n", r.token.c_str());
  }
}

// Rows whose structures would share a name ("m1/pred.pdb", "m2/pred.pdb")
// are kept apart as the search keeps its inputs apart: the first keeps the
// name, the next are named pred_2, pred_3, ..., row and structure alike, so
// that no row's result files take the place of another's.
void name_rows(std::vector<Record>& records) {
  _trel_names names;
  for (const Record& r : records) names.avoid.insert(r.structure);
  for (Record& r : records) {
    std::string given = trel_giveName(&names, r.structure, r.path.empty() ? r.token : r.path, "");
    if (given == r.structure) continue;
    r.structure = std::move(given);
    r.renamed = true;
  }
}

// The separate files found, read in row order.
void read_separate(std::vector<Record>& records, std::vector<_pdb_image*>& images) {
  for (size_t s = 0; s < records.size(); s++) {
    if (records[s].path.empty()) continue;
    images[s] = zam_readPdb(records[s].path.c_str(), records[s].structure.c_str());
    if (!images[s]) {
      zam_err("Failed to read PDB file %s\n", records[s].path.c_str());
      records[s].path.clear();
    } else {
      zam_msg("Loaded structure %s from PDB file %s\n", row_name(records[s]).c_str(), records[s].path.c_str());
      zam_keepInput(records[s].path.c_str());
    }
  }
}

// Chain numbers restart with every model: each (model, chain) of whole gets
// its own number, in order of appearance, so that one model's chains can be
// taken out alone. Returns the new chain numbers of each model in order.
std::vector<std::vector<int>> number_model_chains(_pdb_image* whole) {
  std::map<std::pair<int, int>, int> number;
  std::map<int, size_t> model_at;
  std::vector<std::vector<int>> models;
  auto renumber = [&](int model, int& chain) {
    const auto [it, fresh] = number.try_emplace({model, chain}, (int)number.size());
    if (fresh) {
      const auto m = model_at.try_emplace(model, models.size()).first;
      if (m->second == models.size()) models.emplace_back();
      models[m->second].push_back(it->second);
    }
    chain = it->second;
  };
  for (int i = 0; i < whole->nres; i++) renumber(whole->residues[i].model, whole->residues[i].chain_no);
  for (int i = 0; i < whole->natoms; i++) renumber(whole->atoms[i].model, whole->atoms[i].chain_no);
  whole->nchains = (int)number.size();
  return models;
}

// One unified file: a chain per row, or one model (all its chains) per row,
// as the unified files this program writes hold them. The reader's chain and
// model switches are put back as they were, so that no later read depends on
// this one.
void read_unified(const std::vector<Record>& records, const char* file, std::vector<_pdb_image*>& images) {
  zam_msg("Reading unified PDB file: %s\n", file);
  const int one_chain = zam_getPdbOneChain(), one_model = zam_getPdbOneModel();
  zam_setPdbOneChain(0);
  zam_setPdbOneModel(0);
  _pdb_image* whole = zam_readPdb(file, nullptr);
  zam_setPdbOneChain(one_chain);
  zam_setPdbOneModel(one_model);
  if (!whole) return;
  zam_keepInput(file);
  const int n = (int)records.size();
  if (whole->nmodels >= 2) {
    const std::vector<std::vector<int>> models = number_model_chains(whole);
    if ((int)models.size() != n)
      zam_wrn("File %s has %d models and %d chains, but MSA file says %d structures\n", file,
              (int)models.size(), whole->nchains, n);
    for (int s = 0; s < n && s < (int)models.size(); s++) {
      const std::vector<int>& chains = models[(size_t)s];
      images[(size_t)s] = zam_extractPdb(whole, (int)chains.size(), chains.data());
      if (!images[(size_t)s]) continue;
      kfree(images[(size_t)s]->name);
      images[(size_t)s]->name = kdupS(records[(size_t)s].structure.c_str());
    }
    zam_freePdb(whole);
    return;
  }
  if (whole->nchains != n)
    zam_wrn("File %s has %d models and %d chains, but MSA file says %d structures\n", file, 1, whole->nchains, n);
  std::vector<int> chains((size_t)std::max(whole->nchains, 1));
  for (int k = 0; k < whole->nchains; k++) chains[(size_t)k] = k;
  std::vector<const char*> names((size_t)std::max(whole->nchains, n), "");
  for (int s = 0; s < n; s++) names[(size_t)s] = records[(size_t)s].structure.c_str();
  std::vector<_pdb_image*> split((size_t)std::max(whole->nchains, n), nullptr);
  if (whole->nchains > 0) zam_splitPdb(whole, whole->nchains, chains.data(), names.data(), split.data());
  for (size_t s = 0; s < split.size(); s++) {
    if (s < images.size())
      images[s] = split[s];
    else
      zam_freePdb(split[s]);  // more pieces than rows
  }
  zam_freePdb(whole);
}

// What a message about row s shows: its PDB file when it has one, else its name.
std::string row_label(const Record& r) { return r.path.empty() ? "<" + row_name(r) + ">" : r.path; }

// Letters, residue indices and letter counts of every row.
void fill_letters(_trel_msa* msa, const std::vector<Record>& records) {
  const int n = msa->n_struct;
  for (int s = 0; s < n; s++) {
    const std::string& seq = records[(size_t)s].sequence;
    const std::string label = row_label(records[(size_t)s]);
    int next = 0;
    for (int c = 0; c < msa->n_col; c++) {
      const size_t cell = (size_t)c * n + s;
      char ch = c < (int)seq.size() ? (char)toupper((unsigned char)seq[(size_t)c]) : '-';
      if (c < (int)seq.size()) {
        if (ch >= 'A' && ch <= 'Z') {
          msa->row_letters[s]++;
        } else if (ch == '/') {
          zam_msg("Changing slash ('%c') to gap ('-') for %s.\n", ch, label.c_str());
          ch = '-';
        } else if (ch == '.') {
          zam_wrn("Changing period character ('%c') to ('X') for %s.\n", ch, label.c_str());
          ch = 'X';
        } else if (ch != '-') {
          zam_wrn("Changing unknown character ('%c') to ('X') for %s.\n", ch, label.c_str());
          ch = 'X';
        }
      }
      msa->letters[cell] = ch;
      msa->residue_index[cell] = ch == '-' ? -1 : next++;
    }
  }
}

char residue_code(const _pdb_image* image, int i) {
  if (!image || i < 0 || i >= image->nres) return '-';
  return image->residues[i].code[0];
}

bool all_structures(const _trel_msa* msa) {
  for (int s = 0; s < msa->n_struct; s++)
    if (!msa->images[s]) return false;
  return true;
}

// Blocks of rows: each row's name in 20 characters and what cell() gives
// for its columns, a blank line after each block.
template <class Cell, class Keep>
std::string print_blocks(const _trel_msa* msa, int width, Keep keep, Cell cell) {
  std::string out;
  for (int b = 0; b < msa->n_col; b += width) {
    const int e = std::min(b + width, msa->n_col);
    for (int s = 0; s < msa->n_struct; s++) {
      if (!keep(s)) continue;
      std::string line = std::string(text(msa->names[s]));
      if (line.size() < 20) line.resize(20, ' ');
      for (int c = b; c < e; c++) line += cell(c, s);
      out += line + "\n";
    }
    out += "\n";
  }
  return out;
}

// One row of an rmt block: "%lf%lf%lf, %lf" (rotation, comma directly after
// the third number, translation), every value finite. False when the row
// does not read so, the matrix row then untouched.
bool read_rmt_row(const char* line, Matrix3D& m, int row) {
  double v[4];
  if (sscanf(line, "%lf%lf%lf, %lf", &v[0], &v[1], &v[2], &v[3]) != 4) return false;
  for (double x : v)
    if (!std::isfinite(x)) return false;
  for (int k = 0; k < 4; k++) m.m[4 * row + k] = v[k];
  return true;
}

// A rigid move: the rotation's columns of unit length and at right angles
// within 0.01 (printed matrices are rounded), not a reflection, and a
// translation within 100,000 A. Anything else would scale or shear the
// structure, or carry it past the range of finite distances.
bool rigid_move(const Matrix3D& m) {
  for (int i = 0; i < 3; i++) {
    if (std::fabs(m.m[4 * i + 3]) > 1e5) return false;
    for (int j = 0; j < 3; j++) {
      double dot = 0.0;
      for (int k = 0; k < 3; k++) dot += m.m[4 * k + i] * m.m[4 * k + j];
      if (std::fabs(dot - (i == j ? 1.0 : 0.0)) > 0.01) return false;
    }
  }
  const double det = m.m[0] * (m.m[5] * m.m[10] - m.m[6] * m.m[9]) - m.m[1] * (m.m[4] * m.m[10] - m.m[6] * m.m[8]) +
                     m.m[2] * (m.m[4] * m.m[9] - m.m[5] * m.m[8]);
  return det > 0.0;
}

// A text alignment holds no NUL or other control byte but tab, line and page
// ends: the position of the first one, or length.
int64_t first_binary(int64_t length, const char* buffer) {
  for (int64_t i = 0; i < length; i++) {
    const unsigned char c = (unsigned char)buffer[i];
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') || c == 0x7f) return i;
  }
  return length;
}

// A row whose letters run past the end of its structure cannot be measured
// (its last cells have no residue): false after a message naming each one.
bool rows_fit(const _trel_msa* msa, const std::vector<Record>& records, const char* file) {
  bool fit = true;
  for (int s = 0; s < msa->n_struct; s++) {
    const _pdb_image* image = msa->images[s];
    if (!image) continue;
    int cells = 0, first_extra = -1;  // the column of the first residue past the structure's end
    for (int c = 0; c < msa->n_col; c++) {
      cells += msa->residue_index[(size_t)c * msa->n_struct + s] >= 0;
      if (cells == image->nres + 1 && first_extra < 0) first_extra = c;
    }
    if (cells <= image->nres) continue;
    // The message points at the line where the row runs past its structure:
    // in a row wrapped over many lines, that is where the surplus begins.
    const Record& r = records[(size_t)s];
    zam_err("Row %s (line %lld%s) has %d residues, but its structure %s has only %d\n", r.name.c_str(),
            (long long)line_of_letter(r, (size_t)first_extra), in_file(file).c_str(), cells,
            r.path.empty() ? r.name.c_str() : r.path.c_str(), image->nres);
    fit = false;
  }
  return fit;
}

// The records of buffer as an alignment with its structures loaded; file
// names the text in messages when not null.
_trel_msa* parse_msa(int64_t length, const char* buffer, const char* file, const char* unified_pdb_file,
                     const char* pdb_extension, const _trel_options* options);

}  // namespace

int64_t findChar(int64_t from, char c, const char* buffer, int64_t length) {
  for (int64_t i = std::max<int64_t>(from, 0); i < length; i++)
    if (buffer[i] == c) return i;
  return length;
}

int getFirstToken(const char* buffer, int64_t from, int64_t to, char** out) {
  while (from < to && blank(buffer[from])) from++;
  int64_t end = from;
  while (end < to && !blank(buffer[end])) end++;
  *out = kdupS(std::string(buffer + from, buffer + end).c_str());
  return (int)(end - from);
}

int getNonBlanks(const char* buffer, int64_t from, int64_t to, char** out) {
  std::string s;
  s.reserve((size_t)std::max<int64_t>(to - from, 0));
  for (int64_t i = from; i < to; i++)
    if (!blank(buffer[i])) s += buffer[i];
  *out = kdupS(s.c_str());
  return (int)s.size();
}

int64_t trel_readMSA(const char* file, char** buffer) {
  *buffer = nullptr;
  _zam_file* f = file && !zam_isdir(file) ? zam_fopen(file, "r") : nullptr;
  if (!f) {
    zam_err("Failed to open file %s\n", text(file));
    return 0;
  }
  // Read to the end of the stream: a compressed file holds more text than
  // its size on disk says.
  std::string data;
  for (int c; (c = zam_fgetc(f)) >= 0;) data.push_back((char)c);
  const bool damaged = zam_ferror(f) != 0;
  const char* why = zam_ferrorText(f);  // a text of the runtime's, not of the handle
  zam_fclose(f);
  if (damaged) {
    zam_err("Error reading file %s [%s]\n", file, why);
    return 0;
  }
  if (data.empty()) {
    zam_err("Empty alignment file %s\n", file);
    return 0;
  }
  char* out = kget1C_0((int64_t)data.size() + 1);
  memcpy(out, data.data(), data.size());
  *buffer = out;
  return (int64_t)data.size();
}

void trel_countMSA(int64_t length, const char* buffer, int* n_records, int64_t* max_stretch) {
  int n = 0;
  int64_t longest = 0, last = -1;
  for (int64_t i = 0; i < length; i++) {
    if (buffer[i] != '>') continue;
    if (last >= 0) longest = std::max(longest, i - last - 1);
    last = i;
    n++;
  }
  if (last >= 0) longest = std::max(longest, length - last - 1);
  *n_records = n;
  *max_stretch = longest + 1;
}

_trel_msa* loadMSA(const char* msa_file, const char* pdb_extension, const _trel_options* options) {
  char* buffer = nullptr;
  const int64_t length = trel_readMSA(msa_file, &buffer);
  if (length <= 0) return nullptr;
  const int64_t binary = first_binary(length, buffer);
  if (binary < length) {
    zam_err("Not a text alignment file: %s (byte 0x%02x at line %lld)\n", msa_file,
            (unsigned)(unsigned char)buffer[binary], (long long)(1 + std::count(buffer, buffer + binary, '\n')));
    kfree(buffer);
    return nullptr;
  }
  zam_keepInput(msa_file);
  int n_records = 0;
  int64_t max_stretch = 0;
  trel_countMSA(length, buffer, &n_records, &max_stretch);
  _trel_msa* msa = nullptr;
  if (n_records == 0) {
    zam_err("No sequence signatures (>) found in file %s\n", msa_file);
  } else {
    std::string unified;
    if (options && options->with_unified) {
      // As the rows' files, the unified file may be there as a packed copy.
      unified = beside_alignment(msa_file, "pdb");
      const std::string packed = zam_findPacked(unified);
      if (!packed.empty()) unified = packed;
    }
    msa = parse_msa(length, buffer, msa_file, unified.empty() ? nullptr : unified.c_str(), pdb_extension, options);
  }
  kfree(buffer);
  return msa;
}

namespace {

_trel_msa* parse_msa(int64_t length, const char* buffer, const char* file, const char* unified_pdb_file,
                     const char* pdb_extension, const _trel_options* options) {
  std::vector<Record> records = parse_records(length, buffer, file);
  size_t n_col = 0;
  for (const Record& r : records) n_col = std::max(n_col, r.sequence.size());
  // Nothing is loaded for a file that cannot make an alignment.
  if (records.size() < 2 || n_col == 0) {
    zam_err("Failed to find 2 or more structures in sequence file!\n");
    return nullptr;
  }
  std::vector<_pdb_image*> images(records.size(), nullptr);
  if (!unified_pdb_file) find_separate(records, pdb_extension ? pdb_extension : "pdb");
  name_rows(records);
  if (unified_pdb_file)
    read_unified(records, unified_pdb_file, images);
  else
    read_separate(records, images);
  const int n = (int)records.size();
  zam_msg("Making MSA data structure for %d structures and %d columns...\n", n, (int)n_col);
  std::vector<const char*> names((size_t)n), paths((size_t)n);
  for (int s = 0; s < n; s++) {
    names[(size_t)s] = row_name(records[(size_t)s]).c_str();
    paths[(size_t)s] = records[(size_t)s].path.empty() ? nullptr : records[(size_t)s].path.c_str();
  }
  _trel_msa* msa = trel_makeMSA(n, (int)n_col, names.data(), paths.data(), images.data(), options);
  fill_letters(msa, records);
  if (!rows_fit(msa, records, file)) {
    trel_freeMSA(msa);
    return nullptr;
  }
  return msa;
}

}  // namespace

_trel_msa* trel_parseMSA(int64_t length, const char* buffer, int, int64_t, const char* unified_pdb_file,
                         const char* pdb_extension, const _trel_options* options) {
  return parse_msa(length, buffer, nullptr, unified_pdb_file, pdb_extension, options);
}

_trel_msa* trel_makeMSA(int n_struct, int n_col, const char* const* names, const char* const*,
                        _pdb_image** images, const _trel_options* options) {
  auto* msa = (_trel_msa*)kget1B_0(sizeof(_trel_msa));
  msa->n_struct = n_struct;
  msa->n_col = n_col;
  const bool job = options && options->job_name && options->job_name[0];
  msa->name = kdupS(job ? options->job_name : (n_struct > 0 && names ? text(names[0]) : ""));
  msa->names = kget1S(std::max(n_struct, 1));
  msa->images = (_pdb_image**)kget1B_0((int64_t)sizeof(_pdb_image*) * std::max(n_struct, 1));
  msa->row_letters = kget1I_0(std::max(n_struct, 1));
  for (int s = 0; s < n_struct; s++) {
    msa->names[s] = kdupS(names ? text(names[s]) : "");
    _pdb_image* image = images ? images[s] : nullptr;
    msa->images[s] = image;
    if (!image) continue;
    msa->n_residues += image->nres;
    if (msa->min_length == 0 || image->nres < msa->min_length) msa->min_length = image->nres;
    if (msa->max_length == 0 || image->nres > msa->max_length) msa->max_length = image->nres;
  }
  msa->ref_id = -1;
  msa->ref_sequential = 1;
  msa->query_eq = -1;
  msa->ref_eq = -1;
  msa->ref_ident = -1.0;
  msa->ref_afp = -1.0;
  const int64_t cells = std::max<int64_t>((int64_t)n_col * n_struct, 1), cols = std::max(n_col, 1);
  msa->letters = kget1C_0(cells);
  msa->residue_index = kget1I_0(cells);
  msa->col_msd = kget1F_0(cols);
  msa->col_count = kget1I_0(cols);
  msa->col_mscore = kget1F_0(cols);
  msa->col_centre = (Point3D*)kget1B_0((int64_t)sizeof(Point3D) * cols);
  return msa;
}

void trel_freeMSA(_trel_msa* msa) {
  if (!msa) return;
  for (int s = 0; s < msa->n_struct; s++) zam_freePdb(msa->images[s]);
  kfree(msa->images);
  kfree(msa->name);
  kfree(msa->names);
  kfree(msa->row_letters);
  kfree(msa->letters);
  kfree(msa->residue_index);
  kfree(msa->col_msd);
  kfree(msa->col_count);
  kfree(msa->col_mscore);
  kfree(msa->col_centre);
  kfree(msa);
}

void trel_checkMSA(const _trel_msa* msa, const char* msa_file, const _trel_options* options) {
  if (!msa) return;
  const int width = trel_rowWidth(options);
  if (zam_debug >= 1) {
    zam_msg("MSA code letters (%dx%d).\n", msa->n_struct, msa->n_col);
    trel_msgText(print_blocks(msa, width, [](int) { return true; }, [&](int c, int s) {
                   return msa->letters[(size_t)c * msa->n_struct + s];
                 }).c_str());
  }
  if (!all_structures(msa)) return;
  zam_msg("Cross-check MSA (%s) with PDB structures.\n", text(msa_file));
  std::vector<int> diffs((size_t)msa->n_struct, 0);
  int total = 0;
  for (int s = 0; s < msa->n_struct; s++) {
    for (int c = 0; c < msa->n_col; c++) {
      const size_t cell = (size_t)c * msa->n_struct + s;
      const int i = msa->residue_index[cell];
      if (i >= 0 && i < msa->images[s]->nres && residue_code(msa->images[s], i) != msa->letters[cell])
        diffs[(size_t)s]++;
    }
    total += diffs[(size_t)s];
    if (diffs[(size_t)s] > 0)
      zam_msg("%-20s%d DIFFERENCES\n", msa->names[s], diffs[(size_t)s]);
    else
      zam_msg("%-20s%s differences\n", msa->names[s], "ZERO");
  }
  if (total == 0) {
    zam_msg("Total differences = %s\n", "ZERO");
    return;
  }
  zam_msg("TOTAL DIFFERENCES = %d\n", total);
  zam_msg("Here are the diferences (upper case) with respect to the reference MSA.\n");
  trel_msgText(print_blocks(msa, width, [&](int s) { return diffs[(size_t)s] > 0; }, [&](int c, int s) {
                 const size_t cell = (size_t)c * msa->n_struct + s;
                 const char code = residue_code(msa->images[s], msa->residue_index[cell]);
                 if (code == '-') return '-';
                 return code != msa->letters[cell] ? (char)toupper((unsigned char)code)
                                                   : (char)tolower((unsigned char)code);
               }).c_str());
}

int trel_applyRMT(_trel_msa* msa, const char* rmt_file) {
  if (!msa) return 0;
  zam_msg("Applying RMT transformations from %s\n", text(rmt_file));
  _zam_file* f = rmt_file ? zam_fopen(rmt_file, "r") : nullptr;
  if (!f) {
    zam_err("Failed to open RMT file %s\n", text(rmt_file));
    return 0;
  }
  zam_keepInput(rmt_file);
  // Every block is read and checked before any structure moves: one matrix
  // that cannot be read refuses the whole file.
  struct Block {
    std::string name;
    Matrix3D m;
  };
  std::vector<Block> blocks;
  std::vector<char> line(4096);
  const int size = (int)line.size();
  bool bad = false;
  int len;
  while ((len = zam_freadln(f, size, line.data())) >= 0) {
    if (line[0] != '>') continue;
    char* token = nullptr;
    getFirstToken(line.data(), 1, len, &token);
    Block b{text(token), tf_identity()};
    kfree(token);
    bool rows_read = true;
    for (int row = 0; row < 3; row++) {
      len = zam_freadln(f, size, line.data());
      if (len < 0) {
        zam_err("RMT file %s ends inside the matrix of %s (line %d)\n", rmt_file, b.name.c_str(), zam_fline(f));
        rows_read = false;
        break;
      }
      if (len >= size - 1 || !read_rmt_row(line.data(), b.m, row)) {
        zam_err("Bad matrix row for %s in RMT file %s, line %d: %.80s\n", b.name.c_str(), rmt_file, zam_fline(f),
                line.data());
        rows_read = false;
      }
    }
    if (rows_read && !rigid_move(b.m)) {
      zam_err("The matrix for %s in RMT file %s (ending at line %d) is not a rotation and a translation\n",
              b.name.c_str(), rmt_file, zam_fline(f));
      rows_read = false;
    }
    bad = bad || !rows_read;
    blocks.push_back(std::move(b));
  }
  const bool damaged = zam_ferror(f) != 0;
  const char* why = zam_ferrorText(f);  // a text of the runtime's, not of the handle
  const int lines_read = zam_fline(f);
  zam_fclose(f);
  if (damaged) {
    zam_err("Error reading RMT file %s (after line %d) [%s]\n", rmt_file, lines_read, why);
    bad = true;
  }
  if (bad) return -1;
  int moved = 0;
  for (const Block& b : blocks) {
    const int s = lookupPdbName(msa, b.name.c_str());
    if (s < 0) {
      zam_wrn("Failed to find RMT name %s in the MSA\n", b.name.c_str());
      continue;
    }
    zam_msg("Shifting structure %s with RMT for %s\n", text(msa->images[s]->name), b.name.c_str());
    if (zam_debug >= 1) print_transformation(b.m);
    zam_movePdb(msa->images[s], b.m);
    zam_freezePdb(msa->images[s]);
    moved++;
  }
  if (moved != msa->n_struct)
    zam_err("Matched and moved only %d out of %d PDB structures from %s\n", moved, msa->n_struct, rmt_file);
  return moved;
}

int lookupPdbName(const _trel_msa* msa, const char* name) {
  if (!msa || !name) return -1;
  for (int s = 0; s < msa->n_struct; s++)
    if (msa->images[s] && msa->images[s]->path && strcmp(msa->images[s]->path, name) == 0) return s;
  return -1;
}

void chopTrelDecoration(char* name) {
  if (!name) return;
  static const char* const kDecorations[4] = {"_multi", "_flex", "_pivot", "_query"};
  char* cut = nullptr;
  for (const char* d : kDecorations) {
    char* at = strstr(name, d);
    if (at && (!cut || at < cut)) cut = at;
  }
  if (!cut) return;
  if (zam_debug >= 1) zam_msg("Chopping %s", name);
  *cut = '\0';
  if (zam_debug >= 1) zam_msg(" -> %s\n", name);
}

int trel_referenceMSA(_trel_msa* msa, const char* sisy_file, const char* homstrad_file,
                      const char* sabmark_folder, const _trel_options* options) {
  if (!msa) return 0;
  if (sisy_file && *sisy_file) return trel_analyseSISY(msa, sisy_file, options);
  if (homstrad_file && *homstrad_file) return trel_analyseHOMSTRAD(msa, homstrad_file, options);
  if (sabmark_folder && *sabmark_folder) return trel_analyseSABMARK(msa, sabmark_folder, options);
  return 1;
}

int trel_processMSA(const char* msa_file, const char* sisy_file, const char* homstrad_file,
                    const char* sabmark_folder, const _trel_options* options) {
  zam_msg("Loading QUERY alignment %s\n", text(msa_file));
  _trel_msa* msa = loadMSA(msa_file, "pdb", options);
  if (!msa) return 0;
  // Measures of fewer than two structures would be a row of zeros that
  // looks like a result.
  int found = 0;
  for (int s = 0; s < msa->n_struct; s++) found += msa->images[s] != nullptr;
  if (found < 2) {
    const std::string where =
        options && options->with_unified
            ? beside_alignment(msa_file, "pdb") + ", plain, .gz or .bz2, holds a chain or model per row"
            : "a row names its PDB file, plain, .gz or .bz2, from the current folder";
    zam_err("Alignment %s not scored: structures found for %d of its %d rows (%s)\n", text(msa_file), found,
            msa->n_struct, where.c_str());
    trel_freeMSA(msa);
    return 0;
  }
  trel_checkMSA(msa, msa_file, options);
  if (options && options->with_rmt) {
    // Scores of structures left where a bad matrix should have moved them
    // would be wrong: such an alignment is not scored.
    if (trel_applyRMT(msa, beside_alignment(msa_file, "rmt").c_str()) < 0) {
      zam_err("Alignment %s not scored: its RMT file cannot be used\n", text(msa_file));
      trel_freeMSA(msa);
      return 0;
    }
  } else {
    zam_msg("Assuming PDB structures are already superposed...\n");
  }
  const int compared = trel_referenceMSA(msa, sisy_file, homstrad_file, sabmark_folder, options);
  const int summed = trel_analyseMSA(msa, options);
  trel_freeMSA(msa);
  return compared && summed;
}
