// The floating-point mode of the program in a test: flush-to-zero and
// denormals-are-zero, as trel's main sets them for the whole run, so that
// numeric code is tested the way it runs. Including this header registers a
// global environment that sets both bits before the first test; threads
// started afterwards inherit them.
#pragma once

#include <gtest/gtest.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace testutil {

class FlushDenormals : public ::testing::Environment {
 public:
  void SetUp() override {
#if defined(__SSE__)
    _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ (bit 15) and DAZ (bit 6)
#endif
  }
};

inline ::testing::Environment* const flush_denormals_env =
    ::testing::AddGlobalTestEnvironment(new FlushDenormals);

// 1 when both bits are set on the calling thread.
inline bool denormals_flushed() {
#if defined(__SSE__)
  return (_mm_getcsr() & 0x8040) == 0x8040;
#else
  return true;
#endif
}

}  // namespace testutil
