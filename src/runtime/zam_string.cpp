#include "runtime/zam_string.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Copies the first n-1 characters of s that lie in lo..hi; out holds n bytes.
char* copy_range(char* out, const char* s, int n, unsigned lo, unsigned hi) {
  int k = 0;
  if (n >= 2 && s) {
    for (int i = 0; i < n - 1 && s[i]; i++) {
      const unsigned c = static_cast<unsigned char>(s[i]);
      if (c >= lo && c <= hi) out[k++] = s[i];
    }
  }
  if (n >= 1) out[k] = 0;
  return out;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

int find_string(const char* name, const char* table, int stride, int n) {
  if (!name || !table) return -1;
  for (int i = 0; i < n; i++)
    if (std::strcmp(name, table + static_cast<long>(i) * stride) == 0) return i;
  return -1;
}

char* str_rclip(char* s) {
  int n = static_cast<int>(std::strlen(s));
  int k = n;
  while (k > 0 && s[k - 1] == ' ') k--;
  if (k > 0) s[k] = 0;  // an all-blank string is left as it is
  return s;
}

char* str_lclip(char* s) {
  char* p = s;
  while (*p == ' ') p++;
  return *p ? p : s;
}

char* str_ljust(char* out, const char* s, int n) { return copy_range(out, s, n, 33, 127); }

char* str_copy(char* out, const char* s, int n) { return copy_range(out, s, n, 1, 127); }

char* str_field(const char* record, int first, int last, int base, char* out) {
  int k = 0;
  const int from = first - base < 0 ? 0 : first - base;
  const int to = last - base;
  if (first <= last) {
    // Walk up to the terminator only, so a short record ends the field.
    int len = 0;
    while (len <= to && record[len]) len++;
    for (int i = from; i <= to && i < len; i++)
      if (record[i] != ' ') out[k++] = record[i];
  }
  out[k] = 0;
  return out;
}

char* str_alpha(const char* s, char* out) {
  int k = 0;
  for (; *s; s++)
    if (is_letter(*s)) out[k++] = *s;
  out[k] = 0;
  return out;
}

char* str_sanitise(char* s) {
  for (char* p = s; *p; p++) {
    const unsigned c = static_cast<unsigned char>(*p);
    if (c == '.')
      *p = '~';
    else if (c < '!' || c > '~')
      *p = '_';
  }
  return s;
}

char* str_unsanitise(char* s) {
  for (char* p = s; *p; p++)
    if (*p == '~') *p = '.';
  return s;
}

int str_upper(char* s) {
  int n = 0;
  for (; s[n]; n++)
    if (s[n] >= 'a' && s[n] <= 'z') s[n] = static_cast<char>(s[n] - 'a' + 'A');
  return n;
}

int str_lower(char* s) {
  int n = 0;
  for (; s[n]; n++)
    if (s[n] >= 'A' && s[n] <= 'Z') s[n] = static_cast<char>(s[n] - 'A' + 'a');
  return n;
}

namespace {

void appendPadded(std::string& out, const char* text, size_t n, int width, bool left) {
  const size_t pad = width > 0 && static_cast<size_t>(width) > n ? static_cast<size_t>(width) - n : 0;
  if (!left) out.append(pad, ' ');
  out.append(text, n);
  if (left) out.append(pad, ' ');
}

}  // namespace

void str_append_fixed(std::string& out, double v, int width, int precision) {
  char text[400];
  // NaN's sign and spelling are left to printf; so is any text too long here.
  std::to_chars_result r{text, std::errc::value_too_large};
  if (!std::isnan(v) && precision >= 0 && precision <= 60)
    r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, precision);
  if (r.ec != std::errc()) {
    const int n = std::snprintf(nullptr, 0, "%*.*f", width, precision, v);
    if (n <= 0) return;
    std::string slow(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(slow.data(), slow.size(), "%*.*f", width, precision, v);
    out.append(slow.data(), static_cast<size_t>(n));
    return;
  }
  appendPadded(out, text, static_cast<size_t>(r.ptr - text), width, false);
}

void str_append_int(std::string& out, long v, int width) {
  char text[24];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, v);
  appendPadded(out, text, static_cast<size_t>(r.ptr - text), width, false);
}

void str_append_left(std::string& out, const char* s, int width) {
  if (!s) s = "";
  appendPadded(out, s, std::strlen(s), width, true);
}

void str_append_right(std::string& out, const char* s, int width) {
  if (!s) s = "";
  appendPadded(out, s, std::strlen(s), width, false);
}
