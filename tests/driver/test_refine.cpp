// Superposition of the top targets on worker threads, which take the longest
// targets first: the alignments and the messages of targets whose structure
// cannot be read again are those of a serial run, in target order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "common/log_capture.h"
#include "common/align_fingerprint.h"
#include "common/things.h"
#include "common/test_util.h"
#include "driver/trel_options.h"
#include "driver/trel_refine.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

namespace fs = std::filesystem;
using testutil::shared_pdb;
using testutil::TempDir;

std::string finger(const std::string& name) { return shared_pdb("mustang-testdata/" + name + ".pdb"); }

using testutil::align_fingerprint;
using testutil::Things;

}  // namespace

// Targets in an order unlike their lengths, two of them with a structure
// file that is gone by the time they are superposed: every thread count
// gives the same alignments and the same messages, in target order.
TEST(RefineOrder, LongestFirstKeepsResultsAndMessageOrder) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  TempDir dir;
  Things objects;
  _trel_thing* query = objects.open(finger("1sp1"));
  std::vector<std::string> paths = {finger("1zaa1"), shared_pdb("freesasa/1ubq.pdb"), finger("1ard"),
                                    finger("2drp1"), finger("1paa"), finger("1znf"), finger("1sp2"),
                                    finger("3znf")};
  // Copies whose files are removed once their objects are open.
  const std::vector<int> lost = {2, 5};
  for (int k : lost) {
    const std::string copy = dir.str() + "/" + fs::path(paths[k]).filename().string();
    fs::copy_file(paths[k], copy);
    paths[k] = copy;
  }
  std::vector<_trel_thing*> targets;
  int longest = query->tag->n_residues;
  for (const std::string& p : paths) {
    _trel_thing* t = objects.open(p);
    ASSERT_EQ(t->tag->valid, 1) << p;
    longest = std::max(longest, t->tag->n_residues);
    targets.push_back(t);
  }
  // The lengths are not in target order, so the work list reorders them.
  std::vector<int> lengths;
  for (const _trel_thing* t : targets) lengths.push_back(t->tag->n_residues);
  ASSERT_FALSE(std::is_sorted(lengths.begin(), lengths.end()));
  ASSERT_FALSE(std::is_sorted(lengths.rbegin(), lengths.rend()));
  for (int k : lost) {
    ASSERT_EQ(trel_releaseThingImage(targets[k]), 1);
    fs::remove(paths[k]);
  }

  _trel_align_buf** bufs = trel_allocAlignBuf(4, longest, longest);
  _pdb_image* qimage = trel_imageThing(query);
  ASSERT_NE(qimage, nullptr);
  _pdb_peptide* qpep = zam_makePdbPep(qimage);
  _trel_options options;
  const int n = static_cast<int>(targets.size());

  std::vector<std::string> said[2], got[2];
  int run = 0;
  for (int threads : {1, 4}) {
    // Fresh images each run: the flexible extension moves them.
    for (int k = 0; k < n; k++) {
      targets[k]->valid = 1;
      trel_releaseThingImage(targets[k]);
    }
    std::vector<Matrix3D> starts(n, tf_identity());
    std::vector<_trel_align*> aligns(n, nullptr);
    {
      testutil::LineCapture cap;
      trel_alignFitTargets(query, qimage, qpep, threads, n, targets.data(), starts.data(),
                           aligns.data(), bufs, &options);
      said[run] = cap.lines;
    }
    for (int k = 0; k < n; k++) {
      got[run].push_back(align_fingerprint(aligns[k]));
      trel_freeAlign(aligns[k]);
      const bool gone = std::find(lost.begin(), lost.end(), k) != lost.end();
      EXPECT_EQ(targets[k]->valid, gone ? 0 : 1) << k;
      EXPECT_EQ(got[run][k] == "null", gone) << k;
    }
    run++;
  }
  EXPECT_EQ(got[0], got[1]);
  EXPECT_EQ(said[0], said[1]);
  // One message per lost target at least, the first one's before the second's.
  std::string all;
  for (const std::string& line : said[1]) all += line;
  const size_t first = all.find(fs::path(paths[lost[0]]).filename().string());
  const size_t second = all.find(fs::path(paths[lost[1]]).filename().string());
  ASSERT_NE(first, std::string::npos) << all;
  ASSERT_NE(second, std::string::npos) << all;
  EXPECT_LT(first, second);

  zam_freePdbPep(qpep);
  trel_freeAlignBuf(4, bufs);
}
