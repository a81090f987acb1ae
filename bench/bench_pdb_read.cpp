// PDB reading throughput on the largest shared structure (the 20-model NMR
// file 1ni7, read whole), from its gzip form and from a plain copy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "runtime/zam_file.h"
#include "structure/zam_pdb.h"

namespace {

const std::string kSource = std::string(TREL_SHARED_DATA) + "/pdb/tm-align/1ni7.pdb.gz";

// A plain copy in the temporary folder, made once; its size in bytes.
const std::string& plainCopy(int64_t* bytes) {
  static std::string path;
  static int64_t size = 0;
  if (path.empty()) {
    path = (std::filesystem::temp_directory_path() / "trel_bench_1ni7.pdb").string();
    _zam_file* in = zam_fopen(kSource.c_str(), "r");
    FILE* out = fopen(path.c_str(), "w");
    char line[512];
    while (in && out && zam_freadln(in, sizeof line, line) >= 0) size += fprintf(out, "%s\n", line);
    if (in) zam_fclose(in);
    if (out) fclose(out);
  }
  *bytes = size;
  return path;
}

void readFile(benchmark::State& state, const std::string& path, int64_t bytes) {
  zam_setPdbOneModel(0);
  int64_t atoms = 0;
  for (auto _ : state) {
    _pdb_image* im = zam_readPdb(path.c_str(), nullptr);
    if (!im) {
      state.SkipWithError("cannot read the structure");
      break;
    }
    atoms += im->natoms + im->nhetatms;
    zam_freePdb(im);
  }
  zam_setPdbOneModel(1);
  state.SetBytesProcessed(bytes * static_cast<int64_t>(state.iterations()));
  state.counters["atoms/s"] = benchmark::Counter(static_cast<double>(atoms), benchmark::Counter::kIsRate);
}

void BM_ReadPdbPlain(benchmark::State& state) {
  int64_t bytes = 0;
  const std::string& path = plainCopy(&bytes);
  readFile(state, path, bytes);
}

// Bytes are counted uncompressed, so the two figures compare directly.
void BM_ReadPdbGzip(benchmark::State& state) {
  int64_t bytes = 0;
  plainCopy(&bytes);
  readFile(state, kSource, bytes);
}

}  // namespace

BENCHMARK(BM_ReadPdbPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPdbGzip)->Unit(benchmark::kMillisecond);
