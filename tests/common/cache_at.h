// Points the translation-matrix cache at a fresh folder (or, with off,
// switches it off) for the lifetime of the object.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "harmonics/zam_cache.h"
#include "runtime/zam_thread.h"
#include "test_util.h"

namespace testutil {

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

}  // namespace testutil
