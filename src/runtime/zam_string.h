// Small string operations on fixed-column records and file names. Output
// buffers are the caller's; functions that take one return it.
#pragma once

#include <string>

// Index of the first of n strings laid stride bytes apart equal to name, or -1.
int find_string(const char* name, const char* table, int stride, int n);
char* str_rclip(char* s);  // trailing blanks cut in place, unless all blanks
char* str_lclip(char* s);  // first non-blank, or s itself when all blanks
// At most the first n-1 characters of s, keeping bytes 33..127 (str_ljust) or
// 1..127 (str_copy); n < 2 gives "". out holds n bytes.
char* str_ljust(char* out, const char* s, int n);
char* str_copy(char* out, const char* s, int n);
// Columns first..last (numbered from base) of a record, blanks dropped; stops
// at the end of the record. out holds last-first+2 bytes.
char* str_field(const char* record, int first, int last, int base, char* out);
char* str_alpha(const char* s, char* out);  // only the letters of s
// In place: '.' -> '~', bytes outside '!'..'~' -> '_' (a safe file name).
char* str_sanitise(char* s);
char* str_unsanitise(char* s);  // '~' -> '.'
int str_upper(char* s);  // in place; returns the length
int str_lower(char* s);  // in place; returns the length

// Appends what printf would write for one conversion, several times faster:
// "%W.Pf" of v (the same digits: correctly rounded, ties to even, "-0.000"
// for a small negative value, "inf" and "nan" as printf spells them), "%Wd"
// of v, and "%-Ws" / "%Ws" of s (null as ""). A text wider than W is never
// cut, as with printf.
void str_append_fixed(std::string& out, double v, int width, int precision);
void str_append_int(std::string& out, long v, int width);
void str_append_left(std::string& out, const char* s, int width);
void str_append_right(std::string& out, const char* s, int width);
