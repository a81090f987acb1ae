// Translation-matrix tests: the cache pointed at a fresh folder, and one
// looked-up matrix as a vector.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "harmonics/zam_cache.h"
#include "harmonics/zam_tm.h"
#include "runtime/zam_thread.h"
#include "test_util.h"

namespace testutil {

// Points the cache at a fresh folder (or, with off, switches it off) for
// the lifetime of the object.
struct CacheAt {
  TempDir dir;
  explicit CacheAt(bool off = false) {
    zam_thread_setup(2);
    setenv("ZAM_CACHE", dir.str().c_str(), 1);
    zam_cache_reset();
    if (off) zam_cache_mode(0);
  }
  ~CacheAt() {
    unsetenv("ZAM_CACHE");
    zam_cache_reset();
  }
  CacheAt(const CacheAt&) = delete;
  CacheAt& operator=(const CacheAt&) = delete;
  int64_t size(const std::string& name) const {
    std::error_code ec;
    const auto s = std::filesystem::file_size(dir.file(name), ec);
    return ec ? -1 : static_cast<int64_t>(s);
  }
};

// The order-N matrix of the basis type at R, as the look-up gives it.
inline std::vector<double> tm_matrix(int N, int type, double R) {
  _zam_tm h;
  tm_init(&h);
  EXPECT_EQ(tm_get(N, type, &h, R), 1);
  std::vector<double> T(h.T, h.T + tm3_dim(N - 1));
  tm_free(&h);
  return T;
}

}  // namespace testutil
