// One-time tables asked for by eight threads at once: the multi-precision
// set-up, the factorial tables and the exact coupling tables each thread
// builds must come out the same in every thread (run under ThreadSanitizer
// by tools/test-tsan).
#include <gtest/gtest.h>

#include <gmp.h>

#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "common/coupling_ladders.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"

namespace {

// Everything one thread sees, as text.
std::string tables_seen() {
  std::string s = std::to_string(mp_bits(0));  // one statement each: the set-up comes first
  s += std::string(" ") + mp_version();
  s += " " + std::to_string(mpf_get_default_prec());
  s += " " + std::to_string(fac(20)) + " " + std::to_string(rfac2(7));
  mp_t_struct p;
  mp_init(&p);
  mp_fac(&p, +1, 1600);
  mp_fac(&p, -1, 1597);
  mpq_t q;
  mpq_init(q);
  mpq_ans(&p, q);
  char* t = mpq_get_str(nullptr, 10, q);
  s += std::string(" ") + t;
  free(t);
  mpq_clear(q);
  mp_free(&p);
  testutil::CouplingTables c(8, 1);
  c.walk([&](int, int, int, _m12ranges r) {
    for (int m2 = r.m2_first; m2 <= r.m2_last; m2++) {
      char* z = mpz_get_str(nullptr, 10, c.Z[c.L + m2]);
      s += std::string(" ") + z;
      free(z);
    }
  });
  int cols = 0, count = 0;
  mpf_t* B = mp_bkj(4, 0.7, &cols, &count);
  mp_exp_t e;
  char* b = mpf_get_str(nullptr, &e, 10, 70, B[count - 1]);
  s += std::string(" ") + b + "e" + std::to_string(e);
  free(b);
  yib_mpf_free(B, count);
  return s;
}

}  // namespace

TEST(TablesThreads, EightFirstCallersSeeOneFinishedTable) {
  zam_thread_setup(8);  // the numbered locks are live from here
  constexpr int kThreads = 8;
  std::vector<std::string> seen(kThreads);
  std::latch go(kThreads);
  std::vector<std::thread> th;
  for (int i = 0; i < kThreads; i++)
    th.emplace_back([&, i] {
      go.arrive_and_wait();  // all ask for the tables at the same moment
      seen[i] = tables_seen();
    });
  for (auto& t : th) t.join();
  EXPECT_EQ(seen[0].rfind("256 ", 0), 0u) << seen[0].substr(0, 40);
  for (int i = 1; i < kThreads; i++) EXPECT_EQ(seen[i], seen[0]) << i;
  EXPECT_EQ(seen[0], tables_seen());  // and the same as a later serial caller
}
