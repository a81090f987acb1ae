// BLOSUM62: the integer matrix against published entries, the letter index of
// every byte, and the F and G tables built once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "align/trel_blosum62.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

// Messages shown while a Messages lives, in g_out (log_capture.h).
using Messages = testutil::Messages;
std::string& g_out = testutil::Messages::said();

const char* kLetters = "ARNDCQEGHILKMFPSTWYVBZX*";

}  // namespace

TEST(Blosum62Tables, BuiltOnceConcurrently) {
  // The first build happens here, from several threads at once; all see the
  // same finished table and the debug line is printed once.
  zam_thread_setup(4);
  Messages messages;
  zam_debug = 1;
  std::vector<std::thread> threads;
  std::vector<float> seen(8, 0.0f);
  for (int t = 0; t < 8; t++)
    threads.emplace_back([t, &seen] { seen[t] = trel_getBlosum62G('A', 'R'); });
  for (auto& th : threads) th.join();
  trel_openBlosum62();
  zam_debug = 0;
  for (float v : seen) EXPECT_EQ(v, seen[0]);
  const std::string line = "Smallest Blosum G-score = ";
  const size_t at = g_out.find(line);
  ASSERT_NE(at, std::string::npos) << g_out;
  EXPECT_EQ(g_out.find(line, at + 1), std::string::npos) << "printed twice";
  EXPECT_NEAR(std::stod(g_out.substr(at + line.size())), 0.2412, 5e-4);
}

TEST(Blosum62Integer, PublishedEntries) {
  struct Entry {
    char a, b;
    int score;
  } entries[] = {{'A', 'A', 4},  {'W', 'W', 11}, {'C', 'C', 9},  {'P', 'P', 7},  {'H', 'H', 8},
                 {'R', 'K', 2},  {'D', 'E', 2},  {'I', 'V', 3},  {'F', 'Y', 3},  {'W', 'Y', 2},
                 {'H', 'Y', 2},  {'N', 'B', 3},  {'D', 'B', 4},  {'E', 'Z', 4},  {'Q', 'Z', 3},
                 {'W', 'D', -4}, {'C', 'E', -4}, {'G', 'I', -4}, {'F', 'P', -4}, {'L', 'D', -4},
                 {'S', 'A', 1},  {'T', 'S', 1},  {'X', 'X', -1}, {'X', 'P', -2}, {'X', 'A', 0},
                 {'*', 'A', -4}, {'*', '*', -4}, {'M', 'L', 2},  {'K', 'Q', 1},  {'V', 'T', 0}};
  for (const Entry& e : entries) {
    EXPECT_EQ(trel_getBlosum62I(e.a, e.b), e.score) << e.a << e.b;
    EXPECT_EQ(trel_getBlosum62I(e.b, e.a), e.score) << e.b << e.a;
  }
}

TEST(Blosum62Integer, SymmetricWithStopRowAllMinusFour) {
  for (int i = 0; i < 24; i++) {
    for (int j = 0; j < 24; j++)
      EXPECT_EQ(trel_getBlosum62I(kLetters[i], kLetters[j]),
                trel_getBlosum62I(kLetters[j], kLetters[i]));
    EXPECT_EQ(trel_getBlosum62I('*', kLetters[i]), -4);
  }
  // The spread of the 20 standard letters fixes the transcription as a whole:
  // over the lower triangle, sum((B+6)/17) / 190 = 0.3421053 and the variance
  // about that mean, also over 190, = 0.0273724.
  double sum = 0.0;
  for (int i = 0; i < 20; i++)
    for (int j = 0; j <= i; j++) sum += (trel_getBlosum62I(kLetters[i], kLetters[j]) + 6) / 17.0;
  const double mu = sum / 190.0;
  double ss = 0.0;
  for (int i = 0; i < 20; i++)
    for (int j = 0; j <= i; j++) {
      const double d = (trel_getBlosum62I(kLetters[i], kLetters[j]) + 6) / 17.0 - mu;
      ss += d * d;
    }
  EXPECT_NEAR(mu, 0.3421053, 1e-7);
  EXPECT_NEAR(ss / 190.0, 0.0273724, 1e-7);
}

TEST(Blosum62Index, EveryByte) {
  for (int c = 0; c < 256; c++) {
    const char* at = c != 0 ? strchr(kLetters, c) : nullptr;
    const int expect = at ? (int)(at - kLetters) : 23;
    EXPECT_EQ(trel_blosum62Index((unsigned char)c), expect) << "byte " << c;
  }
  EXPECT_EQ(trel_blosum62Index('a'), 23);
  EXPECT_EQ(trel_blosum62Index('J'), 23);
  EXPECT_EQ(trel_blosum62Index('-'), 23);
  // A negative plain char (a byte of 128 and above) scores as '*'.
  const char high = (char)0xC3;
  EXPECT_EQ(trel_getBlosum62I(high, 'W'), -4);
  EXPECT_FLOAT_EQ(trel_getBlosum62F(high, 'A'), trel_getBlosum62F('*', 'A'));
}

TEST(Blosum62Tables, FValues) {
  trel_openBlosum62();
  EXPECT_NEAR(trel_getBlosum62F('A', 'A'), 0.0909091f, 1e-6);
  EXPECT_NEAR(trel_getBlosum62F('W', 'W'), 0.1545455f, 1e-6);
  EXPECT_NEAR(trel_getBlosum62F('W', 'D'), 0.1f * 2 / 11, 1e-6);
  // Lower case and other codes score as '*': 0.1 (-4 + 6) / 11 against anything.
  for (int i = 0; i < 24; i++) {
    EXPECT_NEAR(trel_getBlosum62F('a', kLetters[i]), 0.0181818f, 1e-6);
    EXPECT_NEAR(trel_getBlosum62F(kLetters[i], '-'), 0.0181818f, 1e-6);
  }
}

TEST(Blosum62Tables, GValues) {
  trel_openBlosum62();
  for (int i = 0; i < 24; i++) {
    EXPECT_EQ(trel_getBlosum62G(kLetters[i], kLetters[i]), 1.0f);
    for (int j = 0; j < 24; j++) {
      const float g = trel_getBlosum62G(kLetters[i], kLetters[j]);
      EXPECT_EQ(g, trel_getBlosum62G(kLetters[j], kLetters[i]));
      EXPECT_GT(g, 0.0f);
      EXPECT_LE(g, 1.0f);
    }
  }
  // Hand-computed: A/R has B = -1, F = 5/17, d = 12/17,
  // G = exp(-0.05 d^2 / 0.0273724) = 0.40246.
  EXPECT_NEAR(trel_getBlosum62G('A', 'R'), 0.40246f, 2e-5);
  // I/V (B = 3): F = 9/17, exp(-0.05 (8/17)^2 / var) = 0.66730.
  EXPECT_NEAR(trel_getBlosum62G('I', 'V'), 0.66730f, 2e-5);
}

TEST(Blosum62Tables, SecondBuildChangesNothing) {
  trel_openBlosum62();
  float f[24][24], g[24][24];
  for (int i = 0; i < 24; i++)
    for (int j = 0; j < 24; j++) {
      f[i][j] = trel_getBlosum62F(kLetters[i], kLetters[j]);
      g[i][j] = trel_getBlosum62G(kLetters[i], kLetters[j]);
    }
  // The gap value changes no table once they are built.
  trel_setBlosum62Gap(20.0f);
  trel_openBlosum62();
  for (int i = 0; i < 24; i++)
    for (int j = 0; j < 24; j++) {
      EXPECT_EQ(trel_getBlosum62F(kLetters[i], kLetters[j]), f[i][j]);
      EXPECT_EQ(trel_getBlosum62G(kLetters[i], kLetters[j]), g[i][j]);
    }
  trel_setBlosum62Gap(5.0f);
}

TEST(Blosum62TablesDeathTest, GapSetBeforeBuildRescalesF) {
  // Needs a process whose tables are not built yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        trel_setBlosum62Gap(-11.0f);  // |x|: scaled gap (6 + 11) / 17 = 1
        const float aa = trel_getBlosum62F('A', 'A');
        const float ww = trel_getBlosum62F('W', 'W');
        exit(std::fabs(aa - 1.0f / 17) < 1e-6f && std::fabs(ww - 1.7f / 17) < 1e-6f ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Blosum62Exp, SinglePrecision) {
  EXPECT_EQ(do_exp(0.0f), 1.0f);
  EXPECT_FLOAT_EQ(do_exp(-1.0f), 0.36787944f);
  EXPECT_EQ(do_exp(-200.0f), 0.0f);
}
