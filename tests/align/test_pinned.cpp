// Pinned results: pairs of real structures aligned as a search aligns them,
// under the anchor rules, the three starts (the quick one with four refit
// cycles, one rigid pass or none), tidying off and the flexible extension,
// each with its pair count, RMSD, T-score and G-score written here. A change of any of them must be deliberate: update the row and say
// so in the commit. A failing row prints its new values in the form below.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "common/align_defaults.h"
#include "common/chains.h"
#include "common/test_util.h"

namespace {

using testutil::Chain;

// Command-line defaults: anchor rule 0, one seed, four cycles, tight and
// tidy on, flexible extension off, range 12, contact 7, match 3.4.
struct Options {
  int rule = 0, seeds = 1, cycles = 4, flex = 0, tight = 1, tidy = 1;
};

Options options(const std::string& name) {
  Options o;
  if (name == "rule1") o.rule = 1;
  if (name == "rule2") o.rule = 2;
  if (name == "quick") o.seeds = 0;   // one K-score alignment, then the cycles
  if (name == "quick0" || name == "quickraw") {  // one rigid pass, or none
    o.seeds = 0;
    o.cycles = name == "quick0" ? 0 : -1;
  }
  if (name == "rigid") o.seeds = -1;  // rigid start from the coordinates as read
  if (name == "notidy") o.tidy = 0;
  if (name == "flex") o.flex = 1;  // seeded by one core segment
  if (name == "flexfrag") {        // seeded by the anchor fragments
    o.flex = 1;
    o.tight = 0;
  }
  return o;
}

// The structures by the short names the rows use.
const std::map<std::string, std::string> kFiles = {
    {"1ard", "mustang-testdata/1ard.pdb"},
    {"1zaa2", "mustang-testdata/1zaa2.pdb"},
    {"1sp1", "mustang-testdata/1sp1.pdb"},
    {"1sp2", "mustang-testdata/1sp2.pdb"},
    {"2drp1", "mustang-testdata/2drp1.pdb"},
    {"5znf", "mustang-testdata/5znf.pdb"},
    {"d1cih__", "theseus-examples/cytochromes/d1cih__.pdb.gz"},
    {"d1crj__", "theseus-examples/cytochromes/d1crj__.pdb.gz"},
    {"d1kyow_", "theseus-examples/cytochromes/d1kyow_.pdb.gz"},
    {"d2pcbb_", "theseus-examples/cytochromes/d2pcbb_.pdb.gz"},
    {"d1yeb__", "theseus-examples/cytochromes/d1yeb__.pdb.gz"},
    {"d1lfma_", "theseus-examples/cytochromes/d1lfma_.pdb.gz"},
    {"1EXT1", "t-coffee-examples/1EXT1.pdb.gz"},
    {"3ALQ1", "t-coffee-examples/3ALQ1.pdb.gz"},
    {"1D4V2", "t-coffee-examples/1D4V2.pdb.gz"},
    {"2HEY1", "t-coffee-examples/2HEY1.pdb.gz"},
    {"1ubq", "freesasa/1ubq.pdb"},
    {"1d3z", "freesasa/1d3z.pdb.gz"},
    {"1hel", "r-cran-bio3d/1hel.pdb"},
    {"1dpx", "r-cran-bio3d/1dpx.pdb"},
    {"1ni7", "tm-align/1ni7.pdb.gz"},
    {"5eep", "tm-align/5eep.pdb.gz"},
    {"1hpv", "pymol-data/1hpv.pdb"},
    {"3aid", "npm-parse-pdb/3aid.pdb"},
    {"5dpv", "rdkit-data/5dpv.pdb"},
    {"5dt0", "rdkit-data/5dt0.pdb.gz"},
    {"1A0J_A", "theseus-examples/trypsins/1A0J_A.pdb.gz"},
    {"1AO5_A", "theseus-examples/trypsins/1AO5_A.pdb.gz"},
    {"1LJO", "python3-cogent3/1LJO.pdb"},
    {"1A1X", "python3-cogent3/1A1X.pdb"},
    {"2E12", "python3-cogent3/2E12.pdb"},
    {"d1nz0a_", "python3-csb/d1nz0a_.pdb"},
    {"1a5z_A", "theseus-examples/ldh/1a5z_A.pdb.gz"},
    {"5mdh_A", "theseus-examples/ldh/5mdh_A.pdb.gz"},
    {"1A8O", "python-biopython-doc/1A8O.pdb.gz"},
};

struct Pinned {
  const char* query;
  const char* target;
  const char* options;
  int naligned;
  double rmsd, tscore, gscore;
};

// Zinc fingers, cytochromes c, TNF-receptor domains, ubiquitins, lysozymes,
// a remote pair, HIV proteases, kinases, trypsins, dehydrogenases and
// unrelated pairs, all with complete backbones. Each pair has its "default"
// row and a row for every option set that gives it another result.
const Pinned kPinned[] = {
    {"1ard", "1zaa2", "default", 28, 1.3554, 0.75302, 23.1696},
    {"1ard", "1zaa2", "notidy", 28, 1.5188, 0.80294, 23.7655},
    {"1ard", "1zaa2", "flex", 28, 1.3115, 0.75794, 23.2928},
    {"1ard", "1zaa2", "quickraw", 28, 1.5753, 0.72765, 22.3156},
    {"1sp1", "1sp2", "default", 27, 1.1914, 0.72458, 22.8830},
    {"1sp1", "1sp2", "notidy", 28, 1.8325, 0.72729, 22.8769},
    {"1sp1", "1sp2", "flex", 27, 1.0695, 0.75291, 23.5894},
    {"1sp1", "1sp2", "flexfrag", 28, 1.5607, 0.73741, 23.0694},
    {"1sp1", "1sp2", "quickraw", 28, 1.8259, 0.66972, 21.0170},
    {"2drp1", "5znf", "default", 28, 0.8100, 0.82054, 25.8425},
    {"2drp1", "5znf", "notidy", 28, 0.8129, 0.82236, 25.8501},
    {"2drp1", "5znf", "flex", 28, 0.7940, 0.82328, 25.9135},
    {"2drp1", "5znf", "quickraw", 28, 0.8749, 0.81616, 25.6283},
    {"d1cih__", "d1crj__", "default", 108, 0.1694, 0.99830, 107.6061},
    {"d1kyow_", "d2pcbb_", "default", 102, 0.8549, 0.94493, 94.5146},
    {"d1kyow_", "d2pcbb_", "notidy", 102, 0.8580, 0.94509, 94.5655},
    {"d1kyow_", "d2pcbb_", "flex", 102, 0.8305, 0.94741, 95.0579},
    {"d1kyow_", "d2pcbb_", "flexfrag", 102, 0.8305, 0.94741, 95.0579},
    {"d1kyow_", "d2pcbb_", "quickraw", 101, 0.8743, 0.93395, 93.2235},
    {"d1yeb__", "d1lfma_", "default", 103, 0.7144, 0.97196, 97.1382},
    {"d1yeb__", "d1lfma_", "rigid", 20, 3.0634, 0.13173, 8.3246},
    {"d1yeb__", "d1lfma_", "notidy", 103, 0.7151, 0.97202, 97.1534},
    {"d1yeb__", "d1lfma_", "flex", 103, 0.6705, 0.97514, 97.7973},
    {"d1yeb__", "d1lfma_", "quickraw", 102, 1.0018, 0.94636, 93.2142},
    {"1EXT1", "3ALQ1", "default", 38, 1.8326, 0.72732, 28.1021},
    {"1EXT1", "3ALQ1", "notidy", 38, 1.9190, 0.75033, 28.7754},
    {"1EXT1", "3ALQ1", "flex", 38, 0.7292, 0.92312, 35.6361},
    {"1EXT1", "3ALQ1", "flexfrag", 38, 1.5653, 0.80338, 30.9682},
    {"1EXT1", "3ALQ1", "quickraw", 37, 1.8547, 0.70312, 27.0212},
    {"1D4V2", "2HEY1", "default", 29, 1.9649, 0.54634, 20.0944},
    {"1D4V2", "2HEY1", "notidy", 31, 3.2690, 0.55352, 20.1086},
    {"1D4V2", "2HEY1", "flex", 36, 2.5609, 0.65420, 23.5250},
    {"1D4V2", "2HEY1", "flexfrag", 36, 1.8434, 0.75665, 27.4682},
    {"1D4V2", "2HEY1", "quick0", 31, 3.4337, 0.40391, 13.5242},
    {"1D4V2", "2HEY1", "quickraw", 27, 3.8322, 0.28619, 8.9893},
    {"1ubq", "1d3z", "default", 76, 0.5214, 0.97930, 73.5654},
    {"1ubq", "1d3z", "notidy", 76, 0.5226, 0.97942, 73.5759},
    {"1hel", "1dpx", "default", 129, 0.2934, 0.99575, 127.6109},
    {"1hel", "1dpx", "notidy", 129, 0.2934, 0.99575, 127.6110},
    {"1hel", "1dpx", "quickraw", 128, 0.5433, 0.98154, 124.8745},
    {"1ni7", "5eep", "default", 139, 1.5459, 0.90573, 108.6973},
    {"1ni7", "5eep", "notidy", 139, 1.5582, 0.90611, 109.0404},
    {"1ni7", "5eep", "flex", 140, 0.9136, 0.96464, 126.9162},
    {"1ni7", "5eep", "flexfrag", 140, 1.2500, 0.93705, 117.2227},
    {"1ni7", "5eep", "quick0", 140, 1.6008, 0.90748, 108.1056},
    {"1ni7", "5eep", "quickraw", 139, 1.6008, 0.90113, 107.3962},
    {"1hpv", "3aid", "default", 198, 0.7005, 0.98414, 186.6958},
    {"1hpv", "3aid", "rigid", 15, 3.0449, 0.06030, 7.0599},
    {"1hpv", "3aid", "notidy", 198, 0.7010, 0.98414, 186.7102},
    {"5dpv", "5dt0", "default", 257, 0.4258, 0.99559, 252.2446},
    {"5dpv", "5dt0", "notidy", 257, 0.4264, 0.99559, 252.2574},
    {"5dpv", "5dt0", "flex", 257, 0.3857, 0.99649, 253.3407},
    {"5dpv", "5dt0", "flexfrag", 257, 0.3857, 0.99649, 253.3407},
    {"5dpv", "5dt0", "quickraw", 257, 0.3535, 0.99669, 253.0999},
    {"1A0J_A", "1AO5_A", "default", 221, 1.3654, 0.94687, 188.0972},
    {"1A0J_A", "1AO5_A", "rule2", 222, 1.3885, 0.94971, 188.0009},
    {"1A0J_A", "1AO5_A", "quick", 222, 1.3885, 0.94971, 188.0009},
    {"1A0J_A", "1AO5_A", "rigid", 222, 1.3885, 0.94971, 188.0009},
    {"1A0J_A", "1AO5_A", "notidy", 221, 1.3750, 0.94709, 188.6705},
    {"1A0J_A", "1AO5_A", "flex", 222, 0.9255, 0.97255, 203.1879},
    {"1A0J_A", "1AO5_A", "flexfrag", 222, 1.0652, 0.96610, 198.5759},
    {"1A0J_A", "1AO5_A", "quick0", 222, 1.3857, 0.94973, 187.9204},
    {"1A0J_A", "1AO5_A", "quickraw", 221, 1.4788, 0.94183, 185.3410},
    {"1ubq", "1LJO", "default", 36, 3.0086, 0.31202, 17.0104},
    {"1ubq", "1LJO", "quick", 39, 3.8189, 0.27408, 11.8672},
    {"1ubq", "1LJO", "notidy", 41, 4.3583, 0.32186, 17.4572},
    {"1ubq", "1LJO", "flex", 42, 2.7367, 0.40140, 24.1364},
    {"1ubq", "1LJO", "flexfrag", 42, 2.7973, 0.40176, 24.3844},
    {"1ubq", "1LJO", "quick0", 37, 3.7621, 0.26710, 12.0582},
    {"1ubq", "1LJO", "quickraw", 12, 3.0923, 0.09826, 4.9647},
    {"1A1X", "2E12", "default", 32, 2.6160, 0.23463, 18.7929},
    {"1A1X", "2E12", "rule1", 31, 2.3734, 0.23118, 18.6329},
    {"1A1X", "2E12", "quick", 36, 3.7278, 0.21023, 12.2757},
    {"1A1X", "2E12", "rigid", 11, 2.4833, 0.07807, 5.6840},
    {"1A1X", "2E12", "notidy", 37, 4.6701, 0.24241, 19.3134},
    {"1A1X", "2E12", "flex", 72, 1.8005, 0.59813, 55.3698},
    {"1A1X", "2E12", "flexfrag", 72, 1.7941, 0.59930, 55.6427},
    {"1A1X", "2E12", "quick0", 35, 3.6822, 0.20209, 11.3337},
    {"1A1X", "2E12", "quickraw", 2, 6.2747, 0.00567, 0.0187},
    {"1ard", "d1cih__", "default", 23, 2.6052, 0.36486, 11.5753},
    {"1ard", "d1cih__", "rule2", 16, 2.2239, 0.33693, 10.4403},
    {"1ard", "d1cih__", "rigid", 10, 2.7799, 0.16036, 4.8731},
    {"1ard", "d1cih__", "notidy", 27, 4.6362, 0.40328, 12.1763},
    {"1ard", "d1cih__", "flex", 23, 2.7836, 0.37679, 11.7001},
    {"1ard", "d1cih__", "flexfrag", 20, 1.8316, 0.47447, 14.8790},
    {"1ard", "d1cih__", "quick0", 22, 3.0975, 0.28002, 8.3237},
    {"1ard", "d1cih__", "quickraw", 5, 4.2261, 0.03753, 0.8312},
    {"d1nz0a_", "1A1X", "default", 44, 3.4875, 0.27934, 19.2059},
    {"d1nz0a_", "1A1X", "rule1", 31, 3.5106, 0.18876, 11.6912},
    {"d1nz0a_", "1A1X", "quick", 31, 3.5106, 0.18876, 11.6912},
    {"d1nz0a_", "1A1X", "rigid", 6, 1.2446, 0.05188, 4.9557},
    {"d1nz0a_", "1A1X", "notidy", 49, 4.4890, 0.28351, 18.8902},
    {"d1nz0a_", "1A1X", "flex", 39, 3.1390, 0.26125, 18.8482},
    {"d1nz0a_", "1A1X", "flexfrag", 39, 1.8153, 0.32107, 29.4077},
    {"d1nz0a_", "1A1X", "quick0", 32, 3.7932, 0.18144, 9.5556},
    {"d1nz0a_", "1A1X", "quickraw", 8, 2.5144, 0.05671, 4.1453},
    {"1a5z_A", "5mdh_A", "default", 293, 2.2466, 0.85178, 183.7705},
    {"1a5z_A", "5mdh_A", "rule2", 293, 2.2701, 0.85030, 182.6978},
    {"1a5z_A", "5mdh_A", "notidy", 294, 2.3359, 0.85260, 184.1189},
    {"1a5z_A", "5mdh_A", "flex", 301, 1.2171, 0.93788, 265.1518},
    {"1a5z_A", "5mdh_A", "flexfrag", 303, 1.1964, 0.94426, 266.0733},
    {"1a5z_A", "5mdh_A", "quick0", 294, 2.2731, 0.85317, 183.3659},
    {"1a5z_A", "5mdh_A", "quickraw", 274, 2.8036, 0.76577, 152.1145},
    {"2E12", "1A8O", "default", 36, 2.8077, 0.37774, 20.4563},
    {"2E12", "1A8O", "quick", 35, 2.6853, 0.36382, 19.4371},
    {"2E12", "1A8O", "rigid", 17, 4.4251, 0.12288, 5.2253},
    {"2E12", "1A8O", "notidy", 44, 5.0706, 0.39876, 21.3526},
    {"2E12", "1A8O", "flex", 36, 1.6176, 0.47823, 29.8511},
    {"2E12", "1A8O", "flexfrag", 36, 1.6227, 0.47819, 29.8520},
    {"2E12", "1A8O", "quick0", 39, 3.7812, 0.30108, 12.3786},
    {"2E12", "1A8O", "quickraw", 21, 4.2738, 0.16126, 7.1423},
};

}  // namespace

TEST(Pinned, AlignmentsOfSharedPairs) {
  TREL_REQUIRE_SHARED_DATA();
  testutil::default_align_settings();
  _trel_align_buf** bufs = trel_allocAlignBuf(1, 700, 700);
  for (const Pinned& p : kPinned) {
    Chain q, t;
    ASSERT_TRUE(q.load(kFiles.at(p.query))) << p.query;
    ASSERT_TRUE(t.load(kFiles.at(p.target))) << p.target;
    const Options o = options(p.options);
    _trel_align* a = trel_makeAlignFit(q.n, t.n, o.rule, 0, o.seeds, o.cycles, o.flex, o.tight, o.tidy,
                                       q.trace->seg, t.trace->seg, q.pep, t.image, tf_identity(),
                                       tf_identity(), 12.0f, 7.0f, 3.4f, bufs[0]);
    ASSERT_NE(a, nullptr) << p.query << " " << p.target;
    char now[256];
    std::snprintf(now, sizeof now, "    {\"%s\", \"%s\", \"%s\", %d, %.4f, %.5f, %.4f},", p.query, p.target,
                  p.options, a->naligned, a->rmsd_aligned, a->tscore, a->gscore);
    const bool same = a->naligned == p.naligned && std::fabs(a->rmsd_aligned - p.rmsd) <= 2e-4 &&
                      std::fabs(a->tscore - p.tscore) <= 2e-5 && std::fabs(a->gscore - p.gscore) <= 5e-4;
    EXPECT_TRUE(same) << "now:\n" << now;
    trel_freeAlign(a);
  }
  trel_freeAlignBuf(1, bufs);
}
