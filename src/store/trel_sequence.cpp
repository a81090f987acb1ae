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

// Reads the next line, however long: carriage returns are dropped and the
// newline is not kept. A line whose first byte is not wanted is passed over
// with that byte alone kept, so that a long line the reader does not use
// (before the header, or the next record's header) takes no memory. False
// at the end of the file when nothing was read.
template <class Wanted>
bool read_line(_zam_file* file, std::string& line, Wanted wanted) {
  line.clear();
  int c = zam_fgetc(file);
  if (c < 0) return false;
  bool keep = true;
  for (; c >= 0 && c != '\n'; c = zam_fgetc(file)) {
    if (c == '\r' || !keep) continue;
    line.push_back(static_cast<char>(c));
    keep = line.size() > 1 || wanted(line[0]);
  }
  return true;
}

bool read_line(_zam_file* file, std::string& line) {
  return read_line(file, line, [](char) { return true; });
}

bool header(char c) { return c == '>'; }
bool letters_line(char c) { return c != '>'; }

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
  std::string line;
  bool found = false;
  while (!found && read_line(in, line, header)) found = !line.empty() && line[0] == '>';
  if (!found) {
    zam_fclose(in);
    zam_err("No '>' header in SEQUENCE file: %s\n", file);
    return nullptr;
  }

  std::string name;
  std::string description;
  bool pir = line.compare(0, 4, ">P1;") == 0 || line.compare(0, 4, ">F1;") == 0;
  bool has_description = false;
  if (pir) {
    name = line.substr(4);
    has_description = read_line(in, description);
  } else {
    name = line.substr(1);
  }
  std::string letters;
  while (read_line(in, line, letters_line) && !line.empty() && line[0] != '>')
    for (char c : line)
      if (c != ' ') letters.push_back(c);
  zam_fclose(in);
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
