#include "store/trel_cath.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_string.h"
#include "runtime/zam_system.h"

namespace {

constexpr int kNameBytes = 10;      // stored name: 9 characters and NUL padding
constexpr int kNameChars = 9;
constexpr int kEntryBytes = kNameBytes + 4 * 2;
constexpr int kGrowBy = 60000;      // table rows added whenever it is full
constexpr int kLineBytes = 257;     // list lines up to 256 characters
constexpr int kReportedLines = 5;   // malformed lines reported one by one

// The active classification; one set for the process.
int db_type = TREL_CATH;
char* cath_file = nullptr;
int n_table = 0;
char* prot_codes = nullptr;         // n_table names of kNameBytes, sorted
int16_t* cath_codes = nullptr;      // four levels per name, same order
// Set once the list has been read (even when that failed or gave nothing),
// so that a bad list is reported once instead of re-read on every look-up.
bool table_tried = false;

// Unknown types count as CATH.
int kind(int type) { return (type >= TREL_CATH && type <= TREL_ECOD) ? type : TREL_CATH; }

const char* kind_label(int type) {
  static const char* const labels[] = {"CATH", "SCOP", "PFAM", "ECOD"};
  return labels[kind(type)];
}

// Integer value of the leading sign and digits of text, as atol does, but
// saturated instead of overflowing.
long leading_long(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
    int digit = text[i] - '0';
    if (value > (LONG_MAX - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

int leading_int(std::string_view text) {
  long v = leading_long(text);
  return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

// Whole token is an optional sign followed by digits (the "%d" fields).
bool is_integer(std::string_view token) {
  size_t i = (!token.empty() && (token[0] == '+' || token[0] == '-')) ? 1 : 0;
  if (i == token.size()) return false;
  for (; i < token.size(); i++)
    if (token[i] < '0' || token[i] > '9') return false;
  return true;
}

std::vector<std::string_view> split_fields(const char* line) {
  std::vector<std::string_view> fields;
  const char* p = line;
  while (*p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f') p++;
    if (!*p) break;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\v' && *p != '\f') p++;
    fields.emplace_back(start, static_cast<size_t>(p - start));
  }
  return fields;
}

// Splits a dotted code ("a.1.1.1", "2004.1.1.38") into at most four parts.
int split_dots(std::string_view text, std::string_view* parts) {
  int n = 0;
  size_t start = 0;
  while (n < 4) {
    size_t dot = text.find('.', start);
    parts[n++] = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return n;
}

// Growing, unsorted table under construction.
struct TableBuilder {
  char* names = nullptr;
  int16_t* codes = nullptr;
  int n = 0;
  int room = 0;

  ~TableBuilder() {
    kfree(names);
    kfree(codes);
  }
  void add(std::string_view name, bool sanitise, const int* levels) {
    if (n == room) {
      room += kGrowBy;
      names = static_cast<char*>(kmod1B(names, static_cast<int64_t>(room) * kNameBytes));
      codes = static_cast<int16_t*>(kmod1B(codes, static_cast<int64_t>(room) * 4 * sizeof(int16_t)));
    }
    char* slot = names + static_cast<int64_t>(n) * kNameBytes;
    memset(slot, 0, kNameBytes);
    memcpy(slot, name.data(), name.size() < kNameChars ? name.size() : kNameChars);
    if (sanitise) str_sanitise(slot);
    // Levels outside the 16-bit range wrap, as the table stores them.
    for (int k = 0; k < 4; k++) codes[4 * n + k] = static_cast<int16_t>(levels[k]);
    n++;
  }
};

// Reads one list line into its name and levels by the format of the type.
// False when the line lacks the fields of its type.
bool parse_line(int type, const std::vector<std::string_view>& f, TableBuilder& table) {
  int levels[4] = {0, 0, 0, 0};
  switch (kind(type)) {
    case TREL_SCOP: {  // sid, pdb, chain range, sccs, ...
      if (f.size() < 4) return false;
      std::string_view parts[4];
      int n = split_dots(f[3], parts);
      levels[0] = parts[0].empty() ? 0 : static_cast<unsigned char>(parts[0][0]);
      for (int k = 1; k < n; k++) levels[k] = leading_int(parts[k]);
      table.add(f[0], true, levels);
      return true;
    }
    case TREL_PFAM: {  // name, two words, accession, two integers, a word
      if (f.size() < 7 || !is_integer(f[4]) || !is_integer(f[5])) return false;
      std::string_view acc = f[3];
      if (acc.size() >= 2 && (acc[0] == 'P' || acc[0] == 'p') && (acc[1] == 'F' || acc[1] == 'f'))
        acc.remove_prefix(2);
      levels[0] = leading_int(acc);
      table.add(f[0], false, levels);
      return true;
    }
    case TREL_ECOD: {  // uid, domain id, representative flag, family id, ...
      if (f.size() < 4) return false;
      std::string_view parts[4];
      int n = split_dots(f[3], parts);
      for (int k = 0; k < n; k++) levels[k] = leading_int(parts[k]);
      table.add(f[1], true, levels);
      return true;
    }
    default: {  // CATH: domain name and class, architecture, topology, superfamily
      if (f.size() < 5) return false;
      for (int k = 0; k < 4; k++) {
        if (!is_integer(f[k + 1])) return false;
        levels[k] = leading_int(f[k + 1]);
      }
      table.add(f[0], false, levels);
      return true;
    }
  }
}

void free_table() {
  kfree(prot_codes);
  kfree(cath_codes);
  prot_codes = nullptr;
  cath_codes = nullptr;
  n_table = 0;
}

// Builds the sorted table from cath_file with the line format of the type,
// replacing the table held. A list that cannot be opened leaves the table
// empty. Returns the number of entries.
int load_table(int type) {
  free_table();
  table_tried = true;
  if (!cath_file) return 0;
  _zam_file* file = zam_fopen(cath_file, "r");
  if (!file) {
    zam_wrn("Failed to read domain index: %s [%s]\n", cath_file, strerror(errno));
    return 0;
  }
  TableBuilder table;
  char line[kLineBytes];
  int line_no = 0;
  int malformed = 0;
  while (zam_freadln(file, kLineBytes, line) >= 0) {
    line_no++;
    if (char* hash = strchr(line, '#')) *hash = 0;
    std::vector<std::string_view> fields = split_fields(line);
    if (fields.empty() || parse_line(type, fields, table)) continue;
    if (++malformed <= kReportedLines)
      zam_wrn("Skipped line %d of domain index %s: %s\n", line_no, cath_file, line);
  }
  zam_fclose(file);
  if (malformed > kReportedLines)
    zam_wrn("Skipped %d malformed lines of domain index %s\n", malformed, cath_file);
  if (table.n == 0) return 0;

  int* order = kget1I(table.n);
  zam_sortb(table.names, table.n, kNameBytes, order);
  prot_codes = kget1C(static_cast<int64_t>(table.n) * kNameBytes);
  cath_codes = kget1J(static_cast<int64_t>(table.n) * 4);
  for (int r = 0; r < table.n; r++) {
    memcpy(prot_codes + static_cast<int64_t>(r) * kNameBytes,
           table.names + static_cast<int64_t>(order[r]) * kNameBytes, kNameBytes);
    memcpy(cath_codes + 4 * r, table.codes + 4 * order[r], 4 * sizeof(int16_t));
  }
  n_table = table.n;
  kfree(order);
  return n_table;
}

// The look-up key of a structure name (at most 10 characters) under the
// active type; key holds at least 16 bytes.
void make_key(const char* name, char* key) {
  size_t len = strlen(name);
  int type = kind(db_type);
  if (len == 4 && type == TREL_CATH) {
    snprintf(key, 16, "%sA00", name);
  } else if (len == 5 && type == TREL_CATH) {
    if (name[4] == '_')
      snprintf(key, 16, "%.4sA00", name);
    else
      snprintf(key, 16, "%s00", name);
  } else if (len == 4 && type == TREL_SCOP) {
    snprintf(key, 16, "d%sa_", name);
    str_sanitise(key);
  } else if (len == 5 && type == TREL_SCOP) {
    snprintf(key, 16, "d%s_", name);
    str_sanitise(key);
  } else if (len == 4 && type == TREL_PFAM) {
    snprintf(key, 16, "d%sA1", name);
  } else if (len == 5 && type == TREL_PFAM) {
    snprintf(key, 16, "d%s1", name);
  } else if (len == 4 && type == TREL_ECOD) {
    snprintf(key, 16, "e%sA1", name);
  } else {
    // Any other length, and 5-character ECOD names: the name itself.
    snprintf(key, 16, "%.10s", name);
    str_sanitise(key);
  }
}

// Table index of the name's key by binary search, or -1.
int binary_lookup(const char* name) {
  char key[16];
  make_key(name, key);
  int low = 0;
  int high = n_table - 1;
  while (low <= high) {
    int middle = low + (high - low) / 2;
    int c = strncmp(key, prot_codes + static_cast<int64_t>(middle) * kNameBytes, kNameBytes);
    if (c == 0) return middle;
    if (c < 0)
      high = middle - 1;
    else
      low = middle + 1;
  }
  return -1;
}

}  // namespace

int trel_openCath(const char* file, int type) {
  trel_closeCath();
  db_type = type;
  if (!file || zam_filesize(file) < 1) {
    zam_wrn("Failed to open domain index: %s\n", file ? file : "(null)");
    return 0;
  }
  zam_msg("Using %s domain index:  %s\n", kind_label(type), file);
  cath_file = kdupS(file);
  return 1;
}

void trel_closeCath() {
  kfree(cath_file);
  cath_file = nullptr;
  free_table();
  table_tried = false;
}

void trel_setCathType(int type) { db_type = type; }

int trel_getCathType() { return db_type; }

int trel_lookupCath(const char* name, int* code) {
  for (int k = 0; k < 4; k++) code[k] = 0;
  if (!name || strlen(name) >= 11) return -1;
  if (n_table == 0 && cath_file && !table_tried) {
    double start = zam_get_time();
    switch (kind(db_type)) {
      case TREL_SCOP: load_scop_table(); break;
      case TREL_PFAM: load_pfam_table(); break;
      case TREL_ECOD: load_ecod_table(); break;
      default: load_cath_table(); break;
    }
    int mb = static_cast<int>(std::ceil(static_cast<double>(n_table) * kEntryBytes / 1048576.0));
    zam_msg("Loaded %d %s codes (%d Mb) in %.2lf seconds.\n", n_table, kind_label(db_type), mb,
            zam_get_time() - start);
  }
  if (n_table == 0) return -1;
  int index = binary_lookup(name);
  if (index >= 0)
    for (int k = 0; k < 4; k++) code[k] = cath_codes[4 * index + k];
  return index;
}

int load_cath_table() { return load_table(TREL_CATH); }
int load_scop_table() { return load_table(TREL_SCOP); }
int load_pfam_table() { return load_table(TREL_PFAM); }
int load_ecod_table() { return load_table(TREL_ECOD); }

namespace {

// "%d.%d..." of n levels from 0 up (each at most ten digits: four fit the
// name buffer), the way every row of a result table prints its family.
void dotted(char* out, const int* level, int n) {
  for (int k = 0; k < n; k++) {
    if (k > 0) *out++ = '.';
    out = std::to_chars(out, out + 10, level[k]).ptr;
  }
  *out = 0;
}

}  // namespace

char* trel_cathName(const int* code, char* buffer) {
  int level[4];
  for (int k = 0; k < 4; k++) level[k] = code[k] < 0 ? 0 : code[k];
  switch (kind(db_type)) {
    case TREL_SCOP: {
      char letter = '0';
      if (level[0] != 0) letter = static_cast<char>(level[0] < 'a' ? 'a' : (level[0] > 'z' ? 'z' : level[0]));
      buffer[0] = letter;
      buffer[1] = '.';
      dotted(buffer + 2, level + 1, 3);
      break;
    }
    case TREL_PFAM:
      snprintf(buffer, TREL_CATH_NAME_SIZE, "PF%5.5d", level[0]);
      break;
    default:
      dotted(buffer, level, 4);
      break;
  }
  return buffer;
}

void trel_setCathPattern(const char* text, int* code) {
  for (int k = 0; k < 4; k++) code[k] = -1;
  if (!text) return;
  std::string_view pattern(text);
  int type = kind(db_type);
  if (type == TREL_PFAM) {
    if (pattern == "*") return;
    if (pattern.size() >= 2 && (pattern[0] == 'P' || pattern[0] == 'p') &&
        (pattern[1] == 'F' || pattern[1] == 'f'))
      pattern.remove_prefix(2);
    code[0] = leading_int(pattern);
    return;
  }
  std::string_view parts[4];
  int n = split_dots(pattern, parts);
  for (int k = 0; k < n; k++) {
    if (parts[k].empty() || parts[k] == "*") continue;
    if (k == 0 && type == TREL_SCOP)
      code[0] = static_cast<unsigned char>(parts[0][0]);
    else
      code[k] = leading_int(parts[k]);
  }
}

int trel_compareCath(const int* code, const int* pattern) {
  for (int k = 0; k < 4; k++)
    if (code[k] >= 0 && pattern[k] >= 0 && code[k] != pattern[k]) return 0;
  return 1;
}
