#include "structure/zam_force_data.h"

#include <mutex>
#include <string>
#include <vector>

#include "structure/zam_data_file.h"

namespace {

constexpr int kLineChars = 80;
constexpr double kJoulesPerCalorie = 4.184;
constexpr int kOplsCodes = 100;
constexpr int kOplsPairs = 100;
constexpr int kHbondTypes = 10;

struct Pair {
  double sigma;
  double epsilon;
};

std::mutex table_lock;

// Each table is read at its first look-up unless an open came first; a
// closed table answers "not found" until the next open.

// OPLS: each code points at its pair, or -1.
std::vector<Pair> opls_pairs;
int opls_code[kOplsCodes];
bool opls_tried = false;

// Hydrogen bonds: slot 10 (a - 1) + b - 1 of 100 holds (c, d); (0, 0) is empty.
Pair hbond_slot[kHbondTypes * kHbondTypes];
bool hbond_tried = false;

void closeOpls() {
  opls_pairs.clear();
  opls_pairs.shrink_to_fit();
  for (int& c : opls_code) c = -1;
}

int loadOpls(const char* file) {
  closeOpls();
  opls_tried = true;
  opls_pairs.reserve(kOplsPairs);
  // The values of the line before, which a repeating line shares.
  bool have_previous = false;
  Pair previous{};
  const _zam_data_kind kind{"opls_data.dat", "OPLS data file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [&](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    long code = -1;
    Pair p{};
    if (f.size() != 3 || !zam_data_int(f[0], &code) || !zam_data_double(f[1], &p.sigma) ||
        !zam_data_double(f[2], &p.epsilon)) {
      zam_data_skip(line, "Bad opls type: line ignored");
      return;
    }
    if (code < 0 || code >= kOplsCodes) {
      zam_data_skip(line, "Bad OPLS code number, line ignored", nullptr, 1);
      return;
    }
    if (!have_previous || p.sigma != previous.sigma || p.epsilon != previous.epsilon) {
      if (int(opls_pairs.size()) == kOplsPairs) {
        zam_data_skip(line, "Bad opls type: line ignored", "more than 100 parameter pairs");
        return;
      }
      opls_pairs.push_back(Pair{p.sigma, p.epsilon * kJoulesPerCalorie});
    }
    opls_code[code] = int(opls_pairs.size()) - 1;
    previous = p;
    have_previous = true;
  });
  if (read < 0) closeOpls();
  opls_pairs.shrink_to_fit();
  return int(opls_pairs.size());
}

void closeHbond() {
  for (Pair& s : hbond_slot) s = Pair{0.0, 0.0};
}

int loadHbond(const char* file) {
  closeHbond();
  hbond_tried = true;
  int stored = 0;
  const _zam_data_kind kind{"hbond_data.dat", "hbond data file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [&](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    long a = 0, b = 0;
    Pair p{};
    if (f.size() != 4 || !zam_data_int(f[0], &a) || !zam_data_int(f[1], &b) ||
        !zam_data_double(f[2], &p.sigma) || !zam_data_double(f[3], &p.epsilon)) {
      zam_data_skip(line, "Bad hbond type: line ignored");
      return;
    }
    // Each type must be in range on its own: a type b of 11 would land in
    // the slot of the next donor type.
    if (a < 1 || a > kHbondTypes || b < 1 || b > kHbondTypes) {
      zam_data_skip(line, "Bad hbond code number, line ignored", nullptr, 1);
      return;
    }
    hbond_slot[kHbondTypes * (a - 1) + (b - 1)] =
        Pair{p.sigma * kJoulesPerCalorie, p.epsilon * kJoulesPerCalorie};
    stored++;
  });
  if (read < 0) {
    closeHbond();
    return 0;
  }
  return stored;
}

}  // namespace

int zam_open_opls_data(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return loadOpls(file);
}

void zam_close_opls_data() {
  std::lock_guard<std::mutex> guard(table_lock);
  closeOpls();
}

int zam_opls_data(int code, double* sigma, double* epsilon) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!opls_tried) loadOpls("");
  const int k = code >= 0 && code < kOplsCodes ? opls_code[code] : -1;
  const Pair p = k >= 0 ? opls_pairs[size_t(k)] : Pair{0.0, 0.0};
  if (sigma) *sigma = p.sigma;
  if (epsilon) *epsilon = p.epsilon;
  return k >= 0 ? 1 : 0;
}

int zam_open_hbond_data(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return loadHbond(file);
}

void zam_close_hbond_data() {
  std::lock_guard<std::mutex> guard(table_lock);
  closeHbond();
}

int zam_hbond_data(int a, int b, double* c, double* d) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!hbond_tried) loadHbond("");
  Pair p{0.0, 0.0};
  if (a >= 1 && a <= kHbondTypes && b >= 1 && b <= kHbondTypes) p = hbond_slot[kHbondTypes * (a - 1) + (b - 1)];
  const int found = p.sigma != 0.0 && p.epsilon != 0.0;
  if (!found) p = Pair{0.0, 0.0};
  if (c) *c = p.sigma;
  if (d) *d = p.epsilon;
  return found;
}
