// Prints the secondary-structure letters that the trace build assigns to the
// residues of PDB files, one residue a line: file, chain, residue label,
// one-letter code and letter ('A' helix, 'B' strand, 'C' other, 'D'
// incomplete). Used by bench/sse_vs_dssp.sh; built by that script.
#include <cstdio>

#include "align/trel_trace.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

// The library's own messages go to standard error, keeping the table clean.
void toStderr(const char* text) { std::fputs(text, stderr); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: sse_letters <pdb-file> ...\n");
    return 1;
  }
  zam_logger_callback(toStderr);
  int failed = 0;
  for (int a = 1; a < argc; a++) {
    _pdb_image* image = zam_readPdb(argv[a], nullptr);
    if (!image) {
      failed++;
      continue;
    }
    _trel_trace* trace = trel_makeTrace();
    trel_loadTrace(image, Point3D{0.0, 0.0, 0.0}, 0, 0, trace);
    for (int i = 0; i < trace->n; i++) {
      const _pdb_residue& r = image->residues[i];
      std::printf("%s\t%s\t%s\t%c\t%c\n", argv[a], r.chain, r.resnum, trace->seg[i].code, trace->seg[i].sse);
    }
    trel_freeTrace(trace);
    zam_freePdb(image);
  }
  return failed ? 1 : 0;
}
