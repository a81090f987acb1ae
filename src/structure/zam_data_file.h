// Reference data files of the library: where each is found and the one line
// reader they all share. A data file is plain text (gzip or bzip2 when named
// so) of fields separated by white space; everything from a '#' to the end of
// a line is a comment and a line without fields is skipped. Each reader says
// its file's default name, its longest line and the words of its failure
// messages, and takes the fields of each line in turn.
#pragma once

#include <functional>
#include <string>
#include <vector>

// What a reader tells the line reader about its file.
struct _zam_data_kind {
  const char* default_name;  // looked for when the caller names no file
  const char* what;          // "Failed to open <what>: <path>"
  int line_chars;            // longer lines are cut to this many characters
  const char* root_folder;   // a folder of the library root searched last, or null
};

// One line with fields, as the reader hands it over.
struct _zam_data_line {
  const char* file;                 // the path read
  int number;                       // line number from 1
  const char* text;                 // the line as read, trailing blanks cut
  std::vector<std::string> fields;  // its fields, the comment cut off
};

// The library's data folder: $ZAM_ROOT/data, or the data folder of the
// source tree the library was built from when ZAM_ROOT is unset.
std::string zam_data_folder();
// The file to read: file itself when not empty; else the kind's default name
// looked for in the working folder, then in $ZAM_DATA, then in the data
// folder, then in the root's folder of the kind; else the bare default name.
std::string zam_data_locate(const char* file, const _zam_data_kind& kind);

// Reads the file (located as above), handing each line with fields to each.
// Returns how many such lines there were; -1 when the file cannot be opened
// ("Failed to open <what>: <path>" and a hint to set ZAM_ROOT, through
// zam_msg) or not read to its end, as a cut compressed file ("Failed to read
// <what>: <path> (after line N)"); the caller then drops what it stored.
int zam_data_read(const char* file, const _zam_data_kind& kind,
                  const std::function<void(const _zam_data_line&)>& each);

// Reports a line that is skipped: "<head>: <text> (line N of <path>)", with
// ": <why>" after the path when why is given; through zam_wrn when warning,
// else zam_msg.
void zam_data_skip(const _zam_data_line& line, const char* head, const char* why = nullptr,
                   int warning = 0);

// Whole-field numbers: false (value untouched) unless the entire field is
// one finite number of the type.
bool zam_data_float(const std::string& s, float* value);
bool zam_data_double(const std::string& s, double* value);
bool zam_data_int(const std::string& s, long* value);
// Copies a name of at most slot-1 characters into slot; false when longer.
bool zam_data_name(const std::string& s, char* slot, int slot_bytes);
