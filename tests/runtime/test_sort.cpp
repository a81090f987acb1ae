// Radix sorts against std::stable_sort, runs of equal keys and the string sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "runtime/zam_sort.h"

namespace {

std::vector<int> iota_perm(int n) {
  std::vector<int> p(static_cast<size_t>(n));
  std::iota(p.begin(), p.end(), 0);
  return p;
}

// Reference permutation for integer-like keys: stable ascending.
template <typename T>
std::vector<int> stable_ref(const std::vector<T>& keys) {
  std::vector<int> p = iota_perm(static_cast<int>(keys.size()));
  std::stable_sort(p.begin(), p.end(), [&](int a, int b) { return keys[a] < keys[b]; });
  return p;
}

// Reference for floating keys in the radix order: ascending, -0.0 before
// +0.0, NaNs ordered by their bits with negative ones first, and a run of
// equal negative keys in the reverse of its input order.
template <typename F, typename U>
std::vector<int> float_ref(const std::vector<F>& keys) {
  auto order_key = [&](int i) {
    U u;
    std::memcpy(&u, &keys[static_cast<size_t>(i)], sizeof u);
    const U top = U(1) << (8 * sizeof(U) - 1);
    return (u & top) ? U(~u) : U(u | top);  // total order on the bit patterns
  };
  std::vector<int> p = iota_perm(static_cast<int>(keys.size()));
  std::stable_sort(p.begin(), p.end(), [&](int a, int b) {
    const U ka = order_key(a), kb = order_key(b);
    if (ka != kb) return ka < kb;
    return std::signbit(keys[static_cast<size_t>(a)]) && a > b;
  });
  return p;
}


}  // namespace

TEST(Sort, KnownPermutations) {
  const int32_t l[] = {-1, 5, -7, 5};
  int p[4];
  zam_sortl(l, 4, p);
  EXPECT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{2, 0, 1, 3}));

  const float f[] = {0.5f, -2.0f, -0.25f, 3.0f};
  zam_sortf(f, 4, p);
  EXPECT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{1, 2, 0, 3}));

  const float twins[] = {-1.0f, -1.0f};
  zam_sortf(twins, 2, p);
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[1], 0);

  const uint32_t u[] = {4294967295u, 0u};
  zam_sortu(u, 2, p);
  EXPECT_EQ(p[0], 1);
  const int32_t s[] = {0, -1};
  zam_sortl(s, 2, p);
  EXPECT_EQ(p[0], 1);

  const float zeros[] = {0.0f, -0.0f, 0.0f, -0.0f};
  zam_sortf(zeros, 4, p);
  EXPECT_TRUE(std::signbit(zeros[p[0]]) && std::signbit(zeros[p[1]]));
  EXPECT_FALSE(std::signbit(zeros[p[2]]) || std::signbit(zeros[p[3]]));
  EXPECT_EQ(p[2], 0);  // equal positive keys keep their order
  EXPECT_EQ(p[3], 2);
}

TEST(Sort, NothingForEmptyInput) {
  int p[2] = {-5, -5};
  const float f[] = {1.0f};
  zam_sortf(f, 0, p);
  zam_sortl(nullptr, -3, p);
  EXPECT_EQ(p[0], -5);
  zam_sortf(f, 1, p);
  EXPECT_EQ(p[0], 0);
}

TEST(Sort, IntegersMatchStableSort) {
  std::mt19937_64 gen(7);
  for (int n : {2, 17, 1000, 50000}) {
    std::vector<int32_t> small(static_cast<size_t>(n)), wide(static_cast<size_t>(n));
    std::vector<uint32_t> un(static_cast<size_t>(n));
    std::vector<int64_t> big(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      small[i] = static_cast<int32_t>(gen() % 21) - 10;  // many equal keys
      wide[i] = static_cast<int32_t>(gen());
      un[i] = static_cast<uint32_t>(gen() % 4 == 0 ? 0xffffffffu : gen());
      big[i] = static_cast<int64_t>(gen()) >> (gen() % 60);
    }
    big[0] = std::numeric_limits<int64_t>::min();
    wide[0] = std::numeric_limits<int32_t>::min();
    std::vector<int> p(static_cast<size_t>(n));
    zam_sortl(small.data(), n, p.data());
    EXPECT_EQ(p, stable_ref(small)) << n;
    zam_sortl(wide.data(), n, p.data());
    EXPECT_EQ(p, stable_ref(wide)) << n;
    zam_sortu(un.data(), n, p.data());
    EXPECT_EQ(p, stable_ref(un)) << n;
    zam_sorto(big.data(), n, p.data());
    EXPECT_EQ(p, stable_ref(big)) << n;
  }
}

TEST(Sort, FloatsMatchReferenceOrder) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> uni(-100.0, 100.0);
  for (int n : {3, 64, 1000, 100000}) {
    std::vector<float> f(static_cast<size_t>(n));
    std::vector<double> d(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      const int pick = static_cast<int>(gen() % 10);
      double v = pick == 0 ? 0.0 : pick == 1 ? -0.0 : pick == 2 ? std::round(uni(gen) / 20.0) : uni(gen);
      if (pick == 3) v = -std::ldexp(1.0, -140);  // float subnormal
      f[i] = static_cast<float>(v);
      d[i] = v;
    }
    f[0] = std::numeric_limits<float>::infinity();
    f[n - 1] = -std::numeric_limits<float>::infinity();
    d[0] = -std::numeric_limits<double>::max();
    std::vector<int> p(static_cast<size_t>(n));
    zam_sortf(f.data(), n, p.data());
    EXPECT_EQ(p, (float_ref<float, uint32_t>(f))) << n;
    for (int r = 1; r < n; r++) ASSERT_LE(f[p[r - 1]], f[p[r]]);
    zam_sortd(d.data(), n, p.data());
    EXPECT_EQ(p, (float_ref<double, uint64_t>(d))) << n;
    for (int r = 1; r < n; r++) ASSERT_LE(d[p[r - 1]], d[p[r]]);
  }
}

TEST(Sort, ByteStringsAndWordRecords) {
  std::mt19937 gen(3);
  const int n = 3000, width = 5;
  std::vector<unsigned char> bytes(static_cast<size_t>(n) * width);
  for (auto& b : bytes) b = static_cast<unsigned char>(gen() % 3 == 0 ? 200 + gen() % 56 : 'a' + gen() % 3);
  std::vector<std::string> as(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) as[i].assign(reinterpret_cast<char*>(&bytes[static_cast<size_t>(i) * width]), width);
  std::vector<int> p(static_cast<size_t>(n));
  zam_sortb(bytes.data(), n, width, p.data());
  EXPECT_EQ(p, stable_ref(as));  // std::string compares as unsigned bytes

  // Records of two 32-bit words, ordered by their bytes in memory order.
  std::vector<uint32_t> words(static_cast<size_t>(n) * 2);
  for (auto& w : words) w = gen() % 4 == 0 ? 0x01020304u : static_cast<uint32_t>(gen());
  std::vector<std::string> ws(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) ws[i].assign(reinterpret_cast<char*>(&words[static_cast<size_t>(i) * 2]), 8);
  zam_sortj(words.data(), n, 2, p.data());
  EXPECT_EQ(p, stable_ref(ws));
}

TEST(Sort, StringPointers) {
  const char* names[] = {"pear", "apple", "fig", "apple", "Zebra", "", "fig2", "\xe9t\xe9", nullptr};
  const int n = 9;
  std::vector<int> p(n, -1);
  zam_sortc(names, n, p.data());
  std::vector<int> seen = p;
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, iota_perm(n));
  auto text = [&](int i) { return std::string(names[i] ? names[i] : ""); };
  for (int r = 1; r < n; r++) EXPECT_LE(text(p[r - 1]), text(p[r])) << r;
  EXPECT_EQ(text(p[n - 1]), "\xe9t\xe9");  // bytes above 127 sort last

  std::mt19937 gen(5);
  std::vector<std::string> many(2000);
  for (auto& s : many) s = std::to_string(gen() % 300);
  std::vector<const char*> ptr;
  for (auto& s : many) ptr.push_back(s.c_str());
  std::vector<int> q(many.size());
  zam_sortc(ptr.data(), static_cast<int>(ptr.size()), q.data());
  for (size_t r = 1; r < q.size(); r++) ASSERT_LE(many[q[r - 1]], many[q[r]]);
}

TEST(Span, RunsOfEqualKeys) {
  const int32_t k[] = {1, 1, 2, 3, 3, 3};
  EXPECT_EQ(zam_spani(k, 0, 6), 2);
  EXPECT_EQ(zam_spanl(k, 3, 6), 3);
  EXPECT_EQ(zam_spanl(k, 5, 6), 1);
  EXPECT_EQ(zam_spanl(k, 6, 6), 0);
  EXPECT_EQ(zam_spanl(k, 9, 6), 0);

  int count = -1, spans[12];
  zam_find_ispans(6, k, &count, spans);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(std::vector<int>(spans, spans + 6), (std::vector<int>{0, 1, 2, 2, 3, 5}));
  zam_find_ispans(0, k, &count, spans);
  EXPECT_EQ(count, 0);

  // The same keys shuffled, read through their sorting permutation.
  const int32_t mixed[] = {3, 1, 2, 3, 1, 3};
  int perm[6];
  zam_sortl(mixed, 6, perm);
  EXPECT_EQ(zam_spanl_s(mixed, 0, 6, perm), 2);
  EXPECT_EQ(zam_spanl_s(mixed, 3, 6, perm), 3);
  zam_find_ispans_s(6, mixed, perm, &count, spans);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(std::vector<int>(spans, spans + 6), (std::vector<int>{0, 1, 2, 2, 3, 5}));

  const int64_t o[] = {int64_t(1) << 40, int64_t(1) << 40, 7};
  EXPECT_EQ(zam_spano(o, 0, 3), 2);
  const int op[] = {2, 0, 1};
  EXPECT_EQ(zam_spano_s(o, 1, 3, op), 2);
  EXPECT_EQ(zam_spanc("aaab", 0, 4), 3);
  EXPECT_EQ(zam_spanc("aaab", 3, 4), 1);

  const float f[] = {1.0f, 1.0000008f, 1.0000016f};
  EXPECT_EQ(zam_spanf(f, 0, 3), 3);
  const int fp[] = {0, 1, 2};
  EXPECT_EQ(zam_spanf_s(f, 0, 3, fp), 2);
  EXPECT_EQ(zam_spanf_s(f, 2, 3, fp), 1);
}
