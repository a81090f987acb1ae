// The hit table of the README's demo, pinned: the zinc finger 1ard searched
// against the 45 structures tools/demo gives it (its fourteen relatives,
// ten cytochromes c, TNF-receptor domains and three trypsins). Every row is
// written here; a change of any score, count or order must be deliberate,
// made here and said in the commit. The rows the README shows must be rows
// of the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;

const char* const kTable = R"(
    1    17.31    23.33  0.5512  0.8514  0.7518   1.22    27    28     9  33.3    34    1  +1  2drp1[0.0.0.0]
    2    21.52    23.17  0.7553  0.8935  0.7530   1.36    28    28    14  50.0    28    1  +1  1zaa2[0.0.0.0]
    3    17.80    22.83  0.6139  0.8300  0.7409   1.12    26    27     6  23.1    29    1  +1  2drp2[0.0.0.0]
    4    19.96    22.70  0.6766  0.8255  0.7484   1.77    28    29    10  35.7    30    1  +1  1paa[0.0.0.0]
    5    18.70    22.67  0.6810  0.9139  0.7995   0.89    25    25    11  44.0    26    1  +1  1zaa3[0.0.0.0]
    6    18.55    22.32  0.6185  0.8282  0.7164   1.38    27    28    12  44.4    31    1  +1  1zaa1[0.0.0.0]
    7    15.25    22.14  0.5087  0.8252  0.7036   1.41    27    27    12  44.4    31    1  +1  1sp2[0.0.0.0]
    8    17.93    21.85  0.6079  0.8126  0.7006   1.51    27    28     7  25.9    30    1  +1  5znf[0.0.0.0]
    9    16.86    21.65  0.6260  0.9082  0.7959   0.94    24    25     9  37.5    25    1  +1  1znf[0.0.0.0]
   10    16.07    20.89  0.5540  0.8026  0.6541   1.76    28    27    10  35.7    29    1  +1  1sp1[0.0.0.0]
   11    13.19    20.37  0.4329  0.7759  0.6382   1.78    27    27    10  37.0    32    1  +1  1zfd[0.0.0.0]
   12    18.30    19.54  0.6538  0.8070  0.6405   1.69    26    27     9  34.6    27    1  +1  1bboN[0.0.0.0]
   13    15.66    19.40  0.5310  0.7434  0.6171   1.95    27    27     7  25.9    30    1  +1  3znf[0.0.0.0]
   14    12.28    17.99  0.4561  0.8350  0.5872   1.66    25    25     9  36.0    25    1  +1  1znm[0.0.0.0]
   15    12.62    15.19  0.2266  0.5839  0.4817   1.63    20    29     0   0.0   107    1  +1  d1kyow_~pdb[0.0.0.0]
   16    13.02    15.06  0.2327  0.5822  0.4738   1.64    20    29     0   0.0   108    1  +1  d1csx__~pdb[0.0.0.0]
   17    12.72    14.88  0.2273  0.5779  0.4667   1.67    20    29     0   0.0   108    1  +1  d1crj__~pdb[0.0.0.0]
   18    12.99    14.85  0.2321  0.5774  0.4655   1.67    20    28     0   0.0   108    1  +1  d1yeb__~pdb[0.0.0.0]
   19    13.28    14.84  0.2373  0.5860  0.4680   2.06    22    29     1   4.5   108    1  +1  d1csu__~pdb[0.0.0.0]
   20    11.58    14.78  0.2109  0.5824  0.4649   2.07    22    27     4  18.2   104    1  +1  d2pcbb_~pdb[0.0.0.0]
   21    12.60    14.78  0.2251  0.5749  0.4629   1.69    20    29     0   0.0   108    1  +1  d1u74d_~pdb[0.0.0.0]
   22    13.23    14.70  0.2363  0.5662  0.4578   1.85    20    28     1   5.0   108    1  +1  d1cih__~pdb[0.0.0.0]
   23    18.34    13.78  0.2286  0.5436  0.4471   2.45    23    29     3  13.0   222    1  +1  1AZZB~pdb[0.0.0.0]
   24    12.12    13.73  0.2218  0.5157  0.4460   2.41    20    26     3  15.0   103    1  +1  d1lfma_~pdb[0.0.0.0]
   25    12.88    13.18  0.2346  0.5079  0.4232   2.33    20    27     4  20.0   104    1  +1  d1m60a_~pdb[0.0.0.0]
   26    17.58    11.26  0.2186  0.4516  0.3446   2.44    18    28     0   0.0   223    1  +1  1AE5A~pdb[0.0.0.0]
   27     8.33    11.14  0.2509  0.4615  0.3543   2.67    20    23     1   5.0    38    1  +1  3ALQ1~pdb[0.0.0.0]
   28     8.33    11.14  0.2509  0.4615  0.3543   2.67    20    23     1   5.0    38    1  +1  3ALQR~pdb[0.0.0.0]
   29    16.97    10.79  0.2130  0.4208  0.3498   2.64    18    26     1   5.6   219    1  +1  1EUFA~pdb[0.0.0.0]
   30     8.80    10.39  0.2585  0.4226  0.3330   2.75    19    21     0   0.0    40    1  +1  1EXT1~pdb[0.0.0.0]
   31     8.80    10.39  0.2585  0.4226  0.3330   2.75    19    21     0   0.0    40    1  +1  1EXTA~pdb[0.0.0.0]
   32     6.57     9.77  0.2033  0.3993  0.3115   3.04    19    22     2  10.5    36    1  +1  2HEY1~pdb[0.0.0.0]
   33     6.57     9.77  0.2033  0.3993  0.3115   3.04    19    22     2  10.5    36    1  +1  2HEYR~pdb[0.0.0.0]
   34     8.34     9.65  0.2450  0.3817  0.3029   1.93    14    23     1   7.1    40    1  +1  2HEY4~pdb[0.0.0.0]
   35     7.65     9.22  0.2595  0.3865  0.2905   2.51    17    22     2  11.8    30    1  +1  1EXT4~pdb[0.0.0.0]
   36     9.68     8.84  0.2710  0.3631  0.2775   2.46    15    22     0   0.0    44    1  +1  1EXT2~pdb[0.0.0.0]
   37     7.06     8.75  0.2022  0.3670  0.2772   2.88    17    25     0   0.0    42    1  +1  1EXT3~pdb[0.0.0.0]
   38     9.46     8.62  0.2648  0.3543  0.2786   2.76    17    22     1   5.9    44    1  +1  1JMA2~pdb[0.0.0.0]
   39     7.93     8.07  0.2246  0.3266  0.2559   2.23    13    20     1   7.7    43    1  +1  1D4V2~pdb[0.0.0.0]
   40     8.92     7.96  0.2527  0.3491  0.2481   2.90    17    22     1   5.9    43    1  +1  2HEY2~pdb[0.0.0.0]
 Mean    13.14    15.16  0.3589  0.5954  0.4882   2.04    21    25     4  16.5    66    1  40
)";

// The demo's files: query first, then the targets in name order.
std::vector<std::string> demoArgs() {
  const std::string root = testutil::shared_data() + "/pdb/";
  auto pick = [&](const std::string& folder, const std::vector<std::string>& prefixes) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(root + folder)) {
      const std::string name = e.path().filename().string();
      if (name.find(".pdb") == std::string::npos) continue;
      for (const std::string& p : prefixes)
        if (name.starts_with(p)) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  std::vector<std::string> args = {root + "mustang-testdata/1ard.pdb"};
  for (const std::string& f : pick("mustang-testdata", {""}))
    if (f != args[0]) args.push_back(f);
  for (const std::string& f : pick("theseus-examples/cytochromes", {"d"})) args.push_back(f);
  for (const std::string& f :
       pick("t-coffee-examples", {"1D4V", "1EXT", "1JMA", "2HEY", "3ALQ", "1AE5A", "1AZZB", "1EUFA"}))
    args.push_back(f);
  return args;
}

std::vector<std::string> words(const std::string& line) { return testutil::split_words(line); }

// The table rows of a text: the lines after the header's rule up to the
// mean (included), a blank line or the end of a README code block.
std::vector<std::string> tableRows(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> rows;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!inside) {
      inside = line.starts_with("=====  =======");
      continue;
    }
    if (line.starts_with("=====")) continue;
    if (line.empty() || line.starts_with("```")) break;
    rows.push_back(line);
    if (line.starts_with(" Mean")) break;
  }
  return rows;
}

// Equal words, numbers printed with decimals within one unit of their last
// digit (a value on a rounding edge may print either way).
bool sameRow(const std::string& got, const std::string& want) {
  const std::vector<std::string> g = words(got), w = words(want);
  if (g.size() != w.size()) return false;
  for (size_t k = 0; k < g.size(); k++) {
    const size_t dot = w[k].find('.');
    if (dot == std::string::npos || w[k].find('[') != std::string::npos) {
      if (g[k] != w[k]) return false;
      continue;
    }
    const double unit = std::pow(10.0, -(double)(w[k].size() - dot - 1));
    if (std::fabs(std::stod(g[k]) - std::stod(w[k])) > unit * 1.01) return false;
  }
  return true;
}

}  // namespace

TEST(DemoTable, EveryRowAsPinned) {
  TREL_REQUIRE_SHARED_DATA();
  const std::vector<std::string> args = demoArgs();
  ASSERT_EQ(args.size(), 46u);
  testutil::TempDir dir;
  const testutil::Outcome r = testutil::run_trel(dir.str(), args);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(testutil::has(r.out, "Top 40 matches for 1ard (length 29) [0.0.0.0] -> [0.0.0.0] (45/45)")) << r.out;
  const std::vector<std::string> got = tableRows(r.out), want = tableRows(std::string("=====  =======") + kTable);
  ASSERT_EQ(got.size(), want.size()) << r.out;
  for (size_t k = 0; k < want.size(); k++) EXPECT_TRUE(sameRow(got[k], want[k])) << "now:\n" << got[k];

  // The README's excerpt of the table: each of its rows is a row of the run.
  const std::string readme = testutil::read_file(std::string(TREL_SOURCE_DIR) + "/README.md");
  const std::vector<std::string> shown = tableRows(readme);
  ASSERT_GE(shown.size(), 4u) << "no hit table in the README";
  for (const std::string& line : shown) {
    if (words(line).size() < 2) continue;  // the "..." between rows
    EXPECT_TRUE(std::find(got.begin(), got.end(), line) != got.end()) << "README row not in the table:\n" << line;
  }
}
