#include "structure/zam_dars_data.h"

#include <mutex>
#include <string>
#include <vector>

#include "geometry/zam_math.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_data_file.h"

namespace {

constexpr int kLineChars = 256;
constexpr int kTypes = ZAM_DARS_TYPES;
constexpr double kJoulesPerCalorie = 4.184;

// The table and its decomposition, all in column order: entry (i, j) at
// j n + i; eigenvector k at vectors[k n .. k n + n - 1].
std::mutex table_lock;
double table[kTypes * kTypes];
double vectors[kTypes * kTypes];
double values[kTypes];
bool loaded = false;
bool tried = false;

void closeTable() {
  for (double& v : table) v = 0.0;
  for (double& v : vectors) v = 0.0;
  for (double& v : values) v = 0.0;
  loaded = false;
}

void decompose() {
  double v[kTypes * kTypes];
  double d[kTypes];
  mat_eigen_ql(kTypes, table, v, d);
  mat_eigen_sort(kTypes, 0, 0, v, d, vectors, values);
  if (zam_debug > 1) {
    vec_print(kTypes, values, "DARS eigenvalues");
    mat_print(kTypes, vectors, "DARS eigenvectors (one per column)");
  }
}

int load(const char* file) {
  closeTable();
  tried = true;
  std::string path = file && *file ? std::string(file) : std::string(zam_getenv("ZAM_DARS"));
  if (path.empty()) path = zam_data_folder() + "/dars_capri.dat";
  zam_msg("Reading DARS data file: %s\n", path.c_str());
  int stored = 0;
  const _zam_data_kind kind{"dars_capri.dat", "DARS data file", kLineChars, nullptr};
  const int read = zam_data_read(path.c_str(), kind, [&](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    long i = 0, j = 0;
    double e = 0.0;
    if (f.size() != 3 || !zam_data_int(f[0], &i) || !zam_data_int(f[1], &j) || !zam_data_double(f[2], &e)) {
      zam_data_skip(line, "Bad DARS type: line ignored");
      return;
    }
    if (i < 1 || i > kTypes || j < 1 || j > kTypes) {
      zam_data_skip(line, "Bad DARS data, line ignored", nullptr, 1);
      return;
    }
    table[(j - 1) * kTypes + (i - 1)] = e * kJoulesPerCalorie;
    table[(i - 1) * kTypes + (j - 1)] = e * kJoulesPerCalorie;
    stored++;
  });
  if (read < 0) {
    closeTable();
    return 0;
  }
  decompose();
  loaded = true;
  return stored;
}

// Loads on first use (lock held); true when a table is there and i is a type.
bool ready(int i) {
  if (!tried) load("");
  return loaded && i >= 0 && i < kTypes;
}

}  // namespace

int zam_open_dars_data(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return load(file);
}

void zam_close_dars_data() {
  std::lock_guard<std::mutex> guard(table_lock);
  closeTable();
}

double zam_dars_value(int i, int j) {
  std::lock_guard<std::mutex> guard(table_lock);
  return ready(i) && ready(j) ? table[j * kTypes + i] : 0.0;
}

double zam_dars_component(int i, int j) {
  std::lock_guard<std::mutex> guard(table_lock);
  return ready(i) && ready(j) ? vectors[j * kTypes + i] : 0.0;
}

double zam_dars_eigenvalue(int i) {
  std::lock_guard<std::mutex> guard(table_lock);
  return ready(i) ? values[i] : 0.0;
}

double zam_dars_reduced(int i, int j, int n) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!ready(i) || !ready(j)) return 0.0;
  if (n > kTypes) n = kTypes;
  double sum = 0.0;
  for (int k = 0; k < n; k++) sum += vectors[k * kTypes + i] * values[k] * vectors[k * kTypes + j];
  return sum;
}
