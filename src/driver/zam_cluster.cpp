#include "driver/zam_cluster.h"

#include <cfloat>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"

namespace {

const char* const kNames[7] = {"pair average",        "group average",    "unweighted centroid",
                               "weighted centroid",   "single linkage",   "complete linkage",
                               "Wards"};

struct ClusterNode {
  int id;
  int size;
  int used;
  int left;
  int right;
  int group;
  double distance;
};

// The work matrix W of N x N doubles: the items' distances in its top-left
// corner, the rows and columns of merge nodes filled as they are made.
struct Work {
  int N;
  std::vector<double> w;
  double& at(int i, int j) { return w[(size_t)i * N + j]; }
};

// Distance from the new node (a + b) to node i under the rule.
double linkage(int method, Work& W, const std::vector<ClusterNode>& node, int a, int b, int i) {
  const double dai = W.at(a, i), dbi = W.at(b, i), dab = W.at(a, b);
  const double na = node[a].size, nb = node[b].size, ni = node[i].size;
  switch (method) {
    case ZAM_CLUSTER_GROUP_AVERAGE: return (na * dai + nb * dbi) / (na + nb);
    case ZAM_CLUSTER_UNWEIGHTED_CENTROID:
      return (na * dai + nb * dbi) / (na + nb) - na * nb * dab / ((na + nb) * (na + nb));
    case ZAM_CLUSTER_WEIGHTED_CENTROID: return (dai + dbi - dab / 2.0) / 2.0;
    case ZAM_CLUSTER_SINGLE: return dai < dbi ? dai : dbi;
    case ZAM_CLUSTER_COMPLETE: return dai > dbi ? dai : dbi;
    case ZAM_CLUSTER_WARDS: return ((ni + na) * dai + (ni + nb) * dbi - ni * dab) / (ni + na + nb);
    default: return (dai + dbi) / 2.0;
  }
}

// The closest unmerged node to row i among the nodes j < i: the first j met
// with the smallest distance (only a strictly smaller one replaces it).
// Entries of a row never change once written and a merge only removes
// nodes, so a row's best is looked for again only when its node went.
struct RowBest {
  double d = DBL_MAX;
  int j = -1;
};

RowBest rowBest(Work& W, const std::vector<ClusterNode>& node, int i) {
  RowBest best;
  for (int j = 0; j < i; j++)
    if (!node[j].used && W.at(i, j) < best.d) {
      best.d = W.at(i, j);
      best.j = j;
    }
  return best;
}

const char* labelOf(char** labels, int i) { return labels && labels[i] ? labels[i] : ""; }

void printTree(int n, char** labels, const std::vector<ClusterNode>& node, int groups,
               double threshold) {
  const int N = 2 * n - 1;
  zam_msg("Found %d leaf groups with threshold = %lg\n", groups, threshold);
  for (int k = N - 1; k >= n; k--) {
    const ClusterNode& c = node[k];
    zam_msg("Node %d, Group, %d, D[%d,%d] = %lg, Total Leaves = %d\n", k, c.group, c.left, c.right,
            c.distance, c.size);
    for (const int child : {c.left, c.right}) {
      if (child < n)
        zam_msg("Leaf %d, Group %d, Label = %s\n", child, node[child].group, labelOf(labels, child));
      else
        zam_msg("ChildNode %d, Group %d\n", child, node[child].group);
    }
    zam_msg("\n");
  }
  for (int g = 1; g <= groups; g++) zam_msg("Group %d\n", g);
}

}  // namespace

const char* zam_clusterName(int method) {
  return kNames[method >= 0 && method <= 6 ? method : 0];
}

double zam_clusterBytes(int n) {
  const double N = 2.0 * n - 1.0;
  return N * N * sizeof(double);
}

int zam_clusterAgg(int method, int n, char** labels, const double* distances, int* groups,
                   double threshold) {
  if (n < 1) return 0;
  if (n == 1) {
    groups[0] = 1;
    return 1;
  }
  if (method < 0 || method > 6) method = ZAM_CLUSTER_PAIR_AVERAGE;
  const double need = zam_clusterBytes(n);
  const double have = (double)zam_mb_memory() * 1048576.0;
  if (have > 0.0 && need > have) {
    zam_err("Clustering %d items needs %.1f GB for its distance matrix, more than the %.1f GB of "
            "this machine.\n",
            n, need / 1073741824.0, have / 1073741824.0);
    return -1;
  }
  const int N = 2 * n - 1;
  Work W;
  W.N = N;
  try {
    W.w.assign((size_t)N * N, 0.0);
  } catch (const std::bad_alloc&) {
    zam_err("Failed to allocate %.1f GB for the distance matrix of %d items.\n", need / 1073741824.0, n);
    return -1;
  }
  for (int i = 0; i < n; i++) memcpy(&W.at(i, 0), distances + (size_t)i * n, sizeof(double) * n);
  std::vector<ClusterNode> node(N);
  for (int k = 0; k < N; k++) node[k] = ClusterNode{k, 1, 0, -1, -1, 0, 0.0};

  std::vector<RowBest> best(N);
  for (int i = 1; i < n; i++) best[i] = rowBest(W, node, i);
  for (int k = n; k < N; k++) {
    // The pair (i, j), j < i, of unmerged nodes with the smallest distance,
    // the first met scanning i upwards winning ties.
    int bi = -1;
    double bd = DBL_MAX;
    for (int i = 1; i < k; i++)
      if (!node[i].used && best[i].j >= 0 && best[i].d < bd) {
        bd = best[i].d;
        bi = i;
      }
    int bj = bi >= 0 ? best[bi].j : -1;
    if (bi < 0) {
      // No finite distance left (NaN or infinite): the first two unmerged
      // nodes are joined, so that every walk has two real children.
      for (int i = 0; i < k && bj < 0; i++)
        if (!node[i].used) bj = i;
      for (int i = bj + 1; i < k && bi < 0; i++)
        if (!node[i].used) bi = i;
      bd = W.at(bi, bj);
    }
    ClusterNode& c = node[k];
    c.left = bi;
    c.right = bj;
    c.distance = bd;
    c.size = node[bi].size + node[bj].size;
    node[bi].used = 1;
    node[bj].used = 1;
    for (int i = 0; i < k; i++) {
      const double d = linkage(method, W, node, bi, bj, i);
      W.at(k, i) = d;
      W.at(i, k) = d;
    }
    W.at(k, k) = 0.0;
    if (method == ZAM_CLUSTER_SINGLE || method == ZAM_CLUSTER_COMPLETE)
      for (int i = 0; i < k; i++)
        if (node[i].id == bi || node[i].id == bj) node[i].id = k;
    for (int i = 1; i < k; i++)
      if (!node[i].used && (best[i].j == bi || best[i].j == bj)) best[i] = rowBest(W, node, i);
    best[k] = rowBest(W, node, k);
    if (zam_debug >= 3) {
      zam_msg("%i %g\n", k, bd);
      for (const int child : {bi, bj}) {
        if (child < n)
          zam_msg("L %d %s\n", child, labelOf(labels, child));
        else
          zam_msg("C %d %s\n", child, "");
      }
    }
    zam_update_gui(ZAM_UPDATE_COUNT, "Clustering", k - n + 1, n - 1);
  }

  // With labels, the side holding the smaller smallest label goes first.
  if (labels) {
    std::vector<const char*> least(N);
    for (int i = 0; i < n; i++) least[i] = labelOf(labels, i);
    for (int k = n; k < N; k++) {
      ClusterNode& c = node[k];
      if (strcmp(least[c.left], least[c.right]) > 0) {
        const int t = c.left;
        c.left = c.right;
        c.right = t;
      }
      least[k] = least[c.left];
    }
  }

  // Cut: walking down from the root (children always have lower indices),
  // a node merged within the threshold hands its group to both children;
  // otherwise each child starts a group of its own.
  node[N - 1].group = N - 1;
  node[N - 1].used = 1;
  for (int k = N - 1; k >= n; k--) {
    const ClusterNode& c = node[k];
    const bool joined = c.distance <= threshold;
    node[c.left].group = joined ? c.group : c.left;
    node[c.right].group = joined ? c.group : c.right;
  }
  // Renumber the groups from 1 in index order of their first node; the
  // leaves come first, so theirs are 1..G.
  std::vector<int> number(N, 0);
  int next = 0;
  for (int k = 0; k < N; k++) {
    int& g = number[node[k].group];
    if (g == 0) g = ++next;
    node[k].group = g;
    node[k].used = 0;
  }
  int count = 0;
  for (int i = 0; i < n; i++) {
    groups[i] = node[i].group;
    if (groups[i] > count) count = groups[i];
  }
  if (zam_debug >= 3) printTree(n, labels, node, count, threshold);
  return count;
}
