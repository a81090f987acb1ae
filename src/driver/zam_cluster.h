// Hierarchical agglomerative clustering of n items from a full matrix of
// pairwise distances under seven linkage rules (Lance-Williams updates),
// with the tree cut at a distance threshold into numbered groups. No state
// is kept between calls.
#pragma once

#include <cstdint>

// Linkage rules; any other number is read as pair average.
enum {
  ZAM_CLUSTER_PAIR_AVERAGE = 0,
  ZAM_CLUSTER_GROUP_AVERAGE = 1,
  ZAM_CLUSTER_UNWEIGHTED_CENTROID = 2,
  ZAM_CLUSTER_WEIGHTED_CENTROID = 3,
  ZAM_CLUSTER_SINGLE = 4,
  ZAM_CLUSTER_COMPLETE = 5,
  ZAM_CLUSTER_WARDS = 6,
};

// The rule's name ("pair average", ..., "Wards").
const char* zam_clusterName(int method);

// Bytes of the work matrix for n items: (2n - 1)^2 doubles.
double zam_clusterBytes(int n);

// Clusters n items: distances is n x n, row-major and symmetric (the pair
// search reads the lower triangle, the updates both); labels (may be null)
// order the children of every merge by their smallest label; groups[i]
// receives item i's group, numbered from 1 in the order of each group's
// first item. Pairs merged at a distance <= threshold stay in one group.
// Returns the number of groups: 1 for a single item, 0 for none, and -1
// after an error (the work matrix would not fit in the machine's memory, or
// could not be had) with groups untouched.
int zam_clusterAgg(int method, int n, char** labels, const double* distances, int* groups,
                   double threshold);
