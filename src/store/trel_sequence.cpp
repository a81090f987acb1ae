#include "store/trel_sequence.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"

namespace {

constexpr size_t kRowLetters = 80;

// A header or description line: 256 bytes and the terminator. A name or a
// description has no use for more; the letters that follow are read whole.
constexpr int kLineBytes = 257;

// Says once for the file that the line just read (a header or a
// description) was longer than kLineBytes - 1 bytes and was cut there.
void say_long(_zam_file* in, const char* file, bool* long_said) {
  if (!zam_flinecut(in) || *long_said) return;
  *long_said = true;
  zam_wrn("Line %d of %s is longer than %d bytes: only its first %d bytes are read\n", zam_fline(in), file,
          kLineBytes - 1, kLineBytes - 1);
}

// Appends the letters of the record's lines to letters, blanks and carriage
// returns left out, up to an empty line, the next header or the end; a line
// of letters may be of any length. Counts the lines read into *lines.
void read_letters(_zam_file* in, std::string& letters, int* lines) {
  bool any = false;  // the line holds a byte other than a carriage return
  for (int c; (c = zam_fgetc(in)) >= 0;) {
    if (c == '\r') continue;
    if (c == '\n') {
      ++*lines;
      if (!any) return;
      any = false;
      continue;
    }
    if (!any && c == '>') return;
    any = true;
    if (c != ' ') letters.push_back(static_cast<char>(c));
  }
  if (any) ++*lines;  // a last line without its newline
}

// The letters in rows of at most 80, each ending in "\n"; an empty text
// gives no row.
std::string letter_rows(const std::string& letters) {
  std::string rows;
  for (size_t at = 0; at < letters.size(); at += kRowLetters) {
    rows.append(letters, at, kRowLetters);
    rows.push_back('\n');
  }
  return rows;
}

std::string letters_of(const _trel_seq* seq) {
  return seq->sequence ? std::string(seq->sequence, static_cast<size_t>(seq->length)) : std::string();
}

// A record read from FASTA has no description; PIR needs one, so such a
// record is labelled as a plain sequence.
const char* description_of(const _trel_seq* seq) {
  return seq->description ? seq->description : "sequence";
}

std::string fasta_text(const _trel_seq* seq) {
  std::string text = ">";
  text += seq->name ? seq->name : "";
  text += "\n";
  text += letter_rows(letters_of(seq));
  text += "\n";
  return text;
}

std::string pir_text(const _trel_seq* seq, const char* description_lead) {
  std::string text = ">P1;";
  text += seq->name ? seq->name : "";
  text += "\n";
  text += description_lead;
  text += description_of(seq);
  text += "\n";
  text += letter_rows(letters_of(seq) + "*");
  text += "\n";
  return text;
}

// Messages are cut at 256 characters, so long texts go out line by line.
void print_lines(const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size() - 1;
    zam_msg("%.*s\n", static_cast<int>(end - at), text.data() + at);
    at = end + 1;
  }
}

// Writes text to folder + root + extension, whole or not at all.
int write_text(const char* folder, const char* root, const char* extension, const char* kind_text,
               const std::string& text) {
  std::string path = std::string(folder ? folder : "") + (root ? root : "") + extension;
  if (zam_debug >= 2) zam_msg("Writing %s file: %s\n", kind_text, path.c_str());
  _zam_whole* whole = zam_openWhole(path, "w");
  if (!whole) {
    zam_err("Failed to open file: %s [%s]\n", path.c_str(), strerror(errno));
    return 0;
  }
  zam_fwrite(whole->fp, text.data(), static_cast<int64_t>(text.size()));
  if (zam_closeWhole(whole, true)) return 1;
  const int saved = errno;
  zam_err("Failed to write file: %s [%s]\n", path.c_str(), strerror(saved ? saved : EIO));
  return 0;
}

}  // namespace

_trel_seq* trel_readSequence(const char* file) {
  if (!file) return nullptr;
  int64_t size = zam_filesize(file);
  if (size < 0) {
    zam_err("Failed to read SEQUENCE file: %s [%s]\n", file, strerror(ENOENT));
    return nullptr;
  }
  if (size == 0) {
    zam_err("Empty SEQUENCE file: %s\n", file);
    return nullptr;
  }
  _zam_file* in = zam_fopen(file, "r");
  if (!in) {
    zam_err("Failed to read SEQUENCE file: %s [%s]\n", file, strerror(errno));
    return nullptr;
  }
  // Lines before the header are passed over, whatever their length.
  char line[kLineBytes];
  bool long_said = false;
  bool found = false;
  while (!found && zam_freadln(in, kLineBytes, line) >= 0) found = line[0] == '>';
  std::string name;
  std::string description;
  bool has_description = false;
  std::string letters;
  int lines = 0;  // lines of letters read
  if (found) {
    say_long(in, file, &long_said);
    const bool pir = strncmp(line, ">P1;", 4) == 0 || strncmp(line, ">F1;", 4) == 0;
    name = line + (pir ? 4 : 1);
    if (pir && zam_freadln(in, kLineBytes, line) >= 0) {
      say_long(in, file, &long_said);
      has_description = true;
      description = line;
    }
    read_letters(in, letters, &lines);
  }
  // A compressed file cut short or damaged would give a shorter sequence.
  if (zam_ferror(in)) {
    zam_err("Failed to read SEQUENCE file: %s (after line %d) [%s]\n", file, zam_fline(in) + lines,
            zam_ferrorText(in));
    zam_fclose(in);
    return nullptr;
  }
  zam_fclose(in);
  if (!found) {
    zam_err("No '>' header in SEQUENCE file: %s\n", file);
    return nullptr;
  }
  if (!letters.empty() && letters.back() == '*') letters.pop_back();

  _trel_seq* seq = static_cast<_trel_seq*>(kget1B_0(sizeof(_trel_seq)));
  seq->name = kdupS(name.c_str());
  seq->description = has_description ? kdupS(description.c_str()) : nullptr;
  seq->length = static_cast<int>(letters.size());
  seq->sequence = letters.empty() ? nullptr : kdupS(letters.c_str());
  return seq;
}

_trel_seq* trel_readSequenceFasta(const char* file) { return trel_readSequence(file); }

_trel_seq* trel_readSequencePir(const char* file) { return trel_readSequence(file); }

void trel_freeSequence(_trel_seq* seq) {
  if (!seq) return;
  kfree(seq->name);
  kfree(seq->description);
  kfree(seq->sequence);
  kfree(seq);
}

void trel_printSequenceFasta(const _trel_seq* seq) {
  if (seq) print_lines(fasta_text(seq));
}

void trel_printSequencePir(const _trel_seq* seq) {
  if (seq) print_lines(pir_text(seq, ";"));
}

int trel_writeSequenceFasta(const char* folder, const char* root, const _trel_seq* seq) {
  if (!seq) return 0;
  return write_text(folder, root, ".fasta", "FASTA", fasta_text(seq));
}

int trel_writeSequencePir(const char* folder, const char* root, const _trel_seq* seq) {
  if (!seq) return 0;
  return write_text(folder, root, ".pir", "PIR", pir_text(seq, ""));
}
