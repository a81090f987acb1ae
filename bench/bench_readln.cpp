// Line reading throughput of the file streams on the largest shared structure
// (the 20-model NMR file 1ni7): from its gzip form, from a plain copy, from a
// bzip2 copy and through a pipe, with the PDB readers' line buffer.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "runtime/zam_file.h"

namespace {

const std::string kSource = std::string(TREL_SHARED_DATA) + "/pdb/tm-align/1ni7.pdb.gz";
constexpr int kLineSize = 257;

// Copies the source into the temporary folder under name (its ending picks
// the codec), once; returns the path and the uncompressed size in bytes.
std::string copyAs(const char* name, int64_t* bytes) {
  std::string path = (std::filesystem::temp_directory_path() / name).string();
  _zam_file* in = zam_fopen(kSource.c_str(), "r");
  _zam_file* out = zam_fopen(path.c_str(), "w");
  char line[kLineSize];
  *bytes = 0;
  for (int len; in && out && (len = zam_freadln(in, kLineSize, line)) >= 0;) {
    zam_fwriteln(out, line);
    *bytes += len + 1;
  }
  if (in) zam_fclose(in);
  if (out) zam_fclose(out);
  return path;
}

const std::string& plainCopy(int64_t* bytes) {
  static int64_t size = 0;
  static const std::string path = copyAs("trel_bench_readln_1ni7.pdb", &size);
  *bytes = size;
  return path;
}

const std::string& bzip2Copy() {
  static int64_t size = 0;
  static const std::string path = copyAs("trel_bench_readln_1ni7.pdb.bz2", &size);
  return path;
}

void readLines(benchmark::State& state, _zam_file* (*open)(const std::string&), const std::string& path) {
  int64_t bytes = 0;
  plainCopy(&bytes);
  char line[kLineSize];
  int64_t lines = 0;
  for (auto _ : state) {
    _zam_file* f = open(path);
    if (!f) {
      state.SkipWithError("cannot open the file");
      break;
    }
    while (zam_freadln(f, kLineSize, line) >= 0) benchmark::DoNotOptimize(line);
    lines += zam_fline(f);
    zam_fclose(f);
  }
  state.SetBytesProcessed(bytes * static_cast<int64_t>(state.iterations()));
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}

_zam_file* openFile(const std::string& path) { return zam_fopen(path.c_str(), "r"); }
_zam_file* openPipe(const std::string& path) { return zam_popen_read("cat", path.c_str(), nullptr); }

void BM_ReadlnPlain(benchmark::State& state) {
  int64_t bytes = 0;
  readLines(state, openFile, plainCopy(&bytes));
}

// Bytes are counted uncompressed, so the figures compare directly.
void BM_ReadlnGzip(benchmark::State& state) { readLines(state, openFile, kSource); }

void BM_ReadlnBzip2(benchmark::State& state) { readLines(state, openFile, bzip2Copy()); }

void BM_ReadlnPipe(benchmark::State& state) {
  int64_t bytes = 0;
  readLines(state, openPipe, plainCopy(&bytes));
}

}  // namespace

BENCHMARK(BM_ReadlnPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadlnGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadlnBzip2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadlnPipe)->Unit(benchmark::kMillisecond);
