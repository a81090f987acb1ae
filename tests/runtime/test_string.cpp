// String operations on records and file names, and the appenders that
// write numbers as printf does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "runtime/zam_string.h"

TEST(String, FindInTable) {
  const char table[4][6] = {"ALA", "GLY", "SER", "GLY"};
  EXPECT_EQ(find_string("GLY", &table[0][0], 6, 4), 1);
  EXPECT_EQ(find_string("SER", &table[0][0], 6, 4), 2);
  EXPECT_EQ(find_string("SER", &table[0][0], 6, 2), -1);
  EXPECT_EQ(find_string("TRP", &table[0][0], 6, 4), -1);
}

TEST(String, Clipping) {
  char a[] = "ab  ";
  EXPECT_STREQ(str_rclip(a), "ab");
  char blanks[] = "   ";
  EXPECT_STREQ(str_rclip(blanks), "   ");
  char empty[] = "";
  EXPECT_STREQ(str_rclip(empty), "");
  char inner[] = " a b ";
  EXPECT_STREQ(str_rclip(inner), " a b");

  char left[] = "  xy ";
  EXPECT_EQ(str_lclip(left), left + 2);
  char none[] = "xy";
  EXPECT_EQ(str_lclip(none), none);
  char all[] = "    ";
  EXPECT_EQ(str_lclip(all), all);
}

TEST(String, JustifyAndCopy) {
  char out[16];
  EXPECT_STREQ(str_ljust(out, " a\tb\x01" "c\xff" "d", 16), "abcd");
  EXPECT_STREQ(str_ljust(out, "abcdef", 4), "abc");  // the first n-1 characters only
  EXPECT_STREQ(str_ljust(out, "  abcdef", 4), "a");
  std::strcpy(out, "old");
  EXPECT_STREQ(str_ljust(out, "abc", 1), "");
  EXPECT_STREQ(str_copy(out, " a\tb\xff", 16), " a\tb");
  EXPECT_STREQ(str_copy(out, "abcdef", 3), "ab");
  EXPECT_STREQ(str_copy(out, "abc", 0), "ab");  // n < 1: nothing is touched
}

TEST(String, FixedColumnFields) {
  const char* line = "ATOM     17  CA  ALA A  12A     11.104  13.207   2.100  1.00 20.00           C";
  char out[32];
  EXPECT_STREQ(str_field(line, 23, 26, 1, out), "12");
  EXPECT_STREQ(str_field(line, 18, 20, 1, out), "ALA");
  EXPECT_STREQ(str_field(line, 22, 22, 1, out), "A");
  EXPECT_STREQ(str_field(line, 22, 26, 0, out), "12A");  // columns from 0
  EXPECT_STREQ(str_field(line, 26, 23, 1, out), "");
  EXPECT_STREQ(str_field("ATOM", 3, 10, 1, out), "OM");  // stops at the end
  EXPECT_STREQ(str_field("ATOM", 7, 10, 1, out), "");
}

TEST(String, FileNamesAndCase) {
  char name[] = "1abc.pdb";
  EXPECT_STREQ(str_sanitise(name), "1abc~pdb");
  EXPECT_STREQ(str_unsanitise(name), "1abc.pdb");
  char odd[] = "my file\t\x7f\xc3~x";
  EXPECT_STREQ(str_sanitise(odd), "my_file___~x");

  char out[32];
  EXPECT_STREQ(str_alpha("1a-B_c9 z", out), "aBcz");
  char mixed[] = "Abc-9z";
  EXPECT_EQ(str_upper(mixed), 6);
  EXPECT_STREQ(mixed, "ABC-9Z");
  EXPECT_EQ(str_lower(mixed), 6);
  EXPECT_STREQ(mixed, "abc-9z");
}

// Each appender gives exactly what snprintf gives for its conversion: random
// doubles and floats at every precision used, exact decimal ties (rounded to
// even), tiny negatives, infinities, NaN, values wider than the field and
// huge ones, and strings shorter and longer than their width.
TEST(String, AppendersWriteWhatPrintfWrites) {
  auto printed = [](const char* fmt, auto... args) {
    char text[1024];
    std::snprintf(text, sizeof text, fmt, args...);
    return std::string(text);
  };
  std::mt19937_64 random(7);
  std::vector<double> values = {0.0, -0.0, 0.5, 1.5, 2.5, -2.5, 0.125, 0.015625, 0.0625, -0.0004, -1e-9,
                                1e20, -1e20, 1e300, 123456789.987654321, INFINITY, -INFINITY, NAN,
                                99999.9995, 0.0005, 1.0 / 3.0};
  for (int i = 0; i < 20000; i++) {
    const uint64_t bits = random();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (std::isfinite(f) && std::fabs(f) < 1e7f) values.push_back(f);
    values.push_back(std::ldexp(static_cast<double>(random() % 2000000) - 1000000.0, -static_cast<int>(random() % 12)));
  }
  for (const double v : values)
    for (const auto& [width, precision] : {std::pair{8, 3}, {6, 2}, {10, 5}, {11, 5}, {7, 4}, {0, 0}, {1, 1}}) {
      std::string out = "<";
      str_append_fixed(out, v, width, precision);
      ASSERT_EQ(out, "<" + printed("%*.*f", width, precision, v)) << v << " " << width << "." << precision;
    }
  for (const long v : {0L, 7L, -7L, 99999L, 100000L, -2147483648L, 9223372036854775807L}) {
    std::string out;
    str_append_int(out, v, 5);
    EXPECT_EQ(out, printed("%5ld", v));
  }
  std::string out;
  str_append_left(out, "CA", 4);
  str_append_right(out, "A", 1);
  str_append_right(out, "", 1);
  str_append_left(out, "LONGER", 3);
  str_append_right(out, "12", 4);
  str_append_left(out, nullptr, 2);
  EXPECT_EQ(out, printed("%-4s%1s%1s%-3s%4s%-2s", "CA", "A", "", "LONGER", "12", ""));
}
