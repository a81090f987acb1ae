#include "output/trel_write_neighbours.h"

#include <string>
#include <vector>

#include "geometry/zam_transform.h"
#include "output/trel_print.h"
#include "output/trel_result.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr char kNeighbourRule[] =
    "#=====================================================================================\n";


// The centre's image as PDB text: all chains, atoms and SSE records, no REMARK.
void writeCentrePdb(const std::string& path, _trel_thing* centre) {
  zam_msg("Writing CENTRE PDB: %s\n", path.c_str());
  _pdb_image* image = trel_imageThing(centre);
  if (!image) {
    zam_wrn("No structure to write the centre PDB file %s from.\n", path.c_str());
    return;
  }
  _zam_whole* out = trel_openWhole(path);
  if (!out) {
    zam_wrn("Failed to write centre PDB file: %s\n", path.c_str());
    return;
  }
  zam_writePdbFile(out->fp, image, -1, 0, 0, 1, 1, 0, tf_identity());
  if (!trel_closeWhole(out, true)) zam_wrn("Failed to write centre PDB file: %s\n", path.c_str());
}

}  // namespace

int trel_writeNeighbours(const char* folder, const char* name, int nq, _trel_thing* const* queries,
                         int nt, _trel_thing* const* targets, const _trel_result* result, int which) {
  if (nq < 1 || !result) return -1;
  const float* s = trel_resultScore(result, which);
  const std::string dir = folder ? folder : "", job = name ? name : "";

  // Mean score of every query over its row, in single precision, divided by
  // the number of queries; ranked ascending, so the centre comes last.
  std::vector<float> mean(nq, 0.0f);
  for (int q = 0; q < nq; q++) {
    float sum = 0.0f;
    for (int t = 0; t < nt; t++) sum += s[(size_t)q * nt + t];
    mean[q] = sum / (float)nq;
  }
  std::vector<int> order(nq);
  zam_sortf(mean.data(), nq, order.data());
  const int centre = order[nq - 1];

  const std::string cen = dir + zam_fileName({job}, ".cen");
  zam_msg("Writing CENTRE file: %s\n", cen.c_str());
  if (_trel_text* out = trel_openText(cen.c_str())) {
    trel_printText(out, "%s# Trel centre file...\n# Queries: %d\n# Targets: %d\n# Query     Score\n%s",
                   kNeighbourRule, nq, nt, kNeighbourRule);
    for (int r = nq - 1; r >= 0; r--)
      trel_printText(out, " %s  %8.4f\n", trel_thingName(queries[order[r]]), mean[order[r]]);
    trel_putText(out, kNeighbourRule);
    trel_closeText(out);
  }

  writeCentrePdb(dir + zam_fileName({job, trel_thingName(queries[centre])}, ".ent"), queries[centre]);

  std::vector<float> row(nt > 0 ? nt : 1);
  std::vector<int> rank(nt > 0 ? nt : 1);
  for (int r = nq - 1; r >= 0; r--) {
    const int q = order[r];
    const size_t at = (size_t)q * nt;
    for (int t = 0; t < nt; t++) row[t] = s[at + t];
    zam_sortf(row.data(), nt, rank.data());
    const std::string nbr = dir + zam_fileName({job, trel_thingName(queries[q])}, ".nbr");
    zam_msg("Writing NEIGHBOUR file: %s\n", nbr.c_str());
    _trel_text* out = trel_openText(nbr.c_str());
    if (!out) continue;
    trel_printText(out, "%s# Trel neighbour file...\n# Neighbours: %d\n# Neighbour Score   RMSD   M/*\n%s",
                   kNeighbourRule, nt, kNeighbourRule);
    for (int k = nt - 1; k >= 0; k--) {
      const int t = rank[k];
      trel_printText(out, " %s  %8.4f  %8.3f  %5d\n", trel_thingName(targets[t]), row[t],
                     result->rmsd[at + t], result->length[at + t]);
    }
    trel_putText(out, kNeighbourRule);
    trel_closeText(out);
  }
  return centre;
}
