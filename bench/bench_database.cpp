// Structure databases of many members: the small shared structures linked
// under distinct names make databases of 2,500 and 10,000 members. Measures
// the build, the open (header, size, name and offset checks plus the maps)
// and the open followed by selecting every member, with the resident memory
// split into private (anonymous) and file-backed pages after every member's
// trace records have been read once; and the phases of a search around its
// scoring (open, select, release, close) on one thread and on eight.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_database.h"

namespace fs = std::filesystem;

namespace {

void quiet(const char*) {}

const fs::path& workDir() {
  static fs::path dir = fs::temp_directory_path() / ("trel_bench_db_" + std::to_string(getpid()));
  return dir;
}

// kB of a "Name:  value kB" line of /proc/self/status.
long statusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t k = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, k, key) == 0) return std::atol(line.c_str() + k + 1);
  return -1;
}

// Builds (once per size) a database of n members; returns its seconds.
double buildOnce(int n) {
  static std::map<int, double> built;
  if (built.count(n)) return built[n];
  std::vector<std::string> sources;
  for (const auto& e : fs::recursive_directory_iterator(std::string(TREL_SHARED_DATA) + "/pdb"))
    if (e.path().extension() == ".pdb" && e.file_size() < 22000 && e.file_size() > 8000)
      sources.push_back(e.path().string());
  std::sort(sources.begin(), sources.end());
  const fs::path links = workDir() / ("src" + std::to_string(n));
  fs::create_directories(links);
  std::vector<std::string> files;
  for (int i = 0; i < n; i++) {
    const std::string& s = sources[static_cast<size_t>(i) % sources.size()];
    char name[64];
    std::snprintf(name, sizeof name, "m%05d_%s", i, fs::path(s).filename().c_str());
    const fs::path link = links / name;
    if (!fs::exists(link)) fs::create_symlink(s, link);
    files.push_back(link.string());
  }
  std::vector<char*> argv;
  for (auto& f : files) argv.push_back(f.data());
  const std::string root = workDir().string() + "/";
  const std::string name = "db" + std::to_string(n);
  zam_logger_fn old = zam_logger_callback(quiet);
  const double t0 = zam_get_time();
  const int ok = trel_buildDatabase(root.c_str(), name.c_str(), argv.data(), n, 0, 0, nullptr);
  const double t = zam_get_time() - t0;
  zam_logger_callback(old);
  if (!ok) std::fprintf(stderr, "build of %d members failed\n", n);
  built[n] = t;
  return t;
}

void BM_Build(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  double t = 0;
  for (auto _ : state) t = buildOnce(n);
  state.counters["members"] = n;
  state.counters["build_s"] = t;
  state.counters["build_ms_per_member"] = 1000 * t / n;
}

void BM_Open(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  buildOnce(n);
  const std::string root = workDir().string() + "/";
  const std::string name = "db" + std::to_string(n);
  zam_logger_fn old = zam_logger_callback(quiet);
  for (auto _ : state) {
    _trel_db* db = trel_openDatabase(root.c_str(), name.c_str(), 0);
    benchmark::DoNotOptimize(db);
    trel_closeDatabase(db);
  }
  zam_logger_callback(old);
  state.counters["members"] = n;
  state.counters["time_per_member"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

// Open, select every member, read one byte of every trace record, close;
// the memory counters come from the last pass, before the close.
void BM_OpenSelectTouch(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  buildOnce(n);
  const std::string root = workDir().string() + "/";
  const std::string name = "db" + std::to_string(n);
  zam_logger_fn old = zam_logger_callback(quiet);
  long anon0 = 0, anon1 = 0, file1 = 0;
  double traces_mb = 0;
  for (auto _ : state) {
    anon0 = statusKb("RssAnon:");
    _trel_db* db = trel_openDatabase(root.c_str(), name.c_str(), 0);
    std::vector<_trel_thing*> things(static_cast<size_t>(db->n_members));
    const int k = trel_loadDatabase(db, things.data(), nullptr, nullptr, nullptr, 0, 1, 1 << 30, nullptr);
    long sum = 0;
    for (int i = 0; i < k; i++)
      for (int r = 0; r < things[i]->trace.n; r++) sum += things[i]->trace.seg[r].code;
    benchmark::DoNotOptimize(sum);
    anon1 = statusKb("RssAnon:");
    file1 = statusKb("RssFile:");
    traces_mb = static_cast<double>(db->traces_bytes) / (1 << 20);
    for (int i = 0; i < k; i++) trel_closeThing(nullptr, things[i]);
    trel_closeDatabase(db);
  }
  zam_logger_callback(old);
  state.counters["members"] = n;
  state.counters["traces_MB"] = traces_mb;
  state.counters["private_growth_MB"] = static_cast<double>(anon1 - anon0) / 1024;
  state.counters["file_backed_MB"] = static_cast<double>(file1) / 1024;
}

// The phases of a search around its scoring, on 1 or 8 threads: open,
// select every member (the member array faulted in and filled), read every
// trace record once (so that all of the traces map is in use, as after the
// pre-scoring), release the members, close (the maps dropped and unmapped).
void BM_SelectRelease(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  buildOnce(n);
  zam_thread_setup(threads);
  zam_thread_serial(threads < 2);
  const std::string root = workDir().string() + "/";
  const std::string name = "db" + std::to_string(n);
  zam_logger_fn old = zam_logger_callback(quiet);
  double open_s = 0, select_s = 0, release_s = 0, close_s = 0;
  for (auto _ : state) {
    const double t0 = zam_get_time();
    _trel_db* db = trel_openDatabase(root.c_str(), name.c_str(), 0);
    const double t1 = zam_get_time();
    std::vector<_trel_thing*> things(static_cast<size_t>(db->n_members));
    const int k = trel_loadDatabase(db, things.data(), nullptr, nullptr, nullptr, 0, 1, 1 << 30, nullptr);
    const double t2 = zam_get_time();
    state.PauseTiming();
    long sum = 0;
    for (int i = 0; i < k; i++)
      for (int r = 0; r < things[i]->trace.n; r++) sum += things[i]->trace.seg[r].code;
    benchmark::DoNotOptimize(sum);
    state.ResumeTiming();
    const double t3 = zam_get_time();
    for (int i = 0; i < k; i++) trel_closeThing(nullptr, things[i]);
    const double t4 = zam_get_time();
    trel_closeDatabase(db);
    const double t5 = zam_get_time();
    open_s += t1 - t0;
    select_s += t2 - t1;
    release_s += t4 - t3;
    close_s += t5 - t4;
  }
  zam_logger_callback(old);
  zam_thread_serial(0);
  const double runs = static_cast<double>(state.iterations());
  state.counters["members"] = n;
  state.counters["threads"] = threads;
  state.counters["open_ms"] = 1000 * open_s / runs;
  state.counters["select_ms"] = 1000 * select_s / runs;
  state.counters["release_ms"] = 1000 * release_s / runs;
  state.counters["close_ms"] = 1000 * close_s / runs;
}

// Leaves nothing behind in the temporary folder.
struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    fs::remove_all(workDir(), ec);
  }
} cleanup;

}  // namespace

BENCHMARK(BM_Build)->Arg(2500)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Open)->Arg(2500)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSelectTouch)->Arg(2500)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectRelease)
    ->Args({10000, 1})
    ->Args({10000, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
