// String operations on records and file names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
