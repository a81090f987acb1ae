// Spherical-harmonic shape descriptors: up to seven single-shell real
// harmonic expansions (channels) of one molecule, functions on the unit
// sphere given by their values at the points of the open sphere mesh; their
// quadrature from mesh values, evaluation, rotation and measures. Also the
// surface envelope integrals of values on the mesh. The mesh is process-wide
// state of the matching library: one thread at a time.
#pragma once

constexpr int ZAM_SHD_CHANNELS = 7;

struct _shd {
  int L;                              // degree fixed at creation
  int order[ZAM_SHD_CHANNELS];        // degree held by each channel, -1 empty
  double* alm[ZAM_SHD_CHANNELS];      // (l, m) at l^2 + l + m
};

// A record whose channels hold zero-filled blocks of (L+1)^2 doubles and
// order L. Release with zam_shd_free (null ignored).
_shd* zam_shd_make(int L);
void zam_shd_free(_shd* shd);
// Zeroes channel ch (every channel for -1) and marks it empty.
void zam_shd_reset(_shd* shd, int ch);
// Stores the (Lc+1)^2 coefficients a as channel ch of degree Lc: below the
// record's degree in a zero-filled block of (L+1)^2 doubles, else in a block
// of exactly (Lc+1)^2; a negative Lc leaves a zero-filled block (none when L
// is negative too). A bad channel is ignored.
void zam_shd_set(_shd* shd, int ch, int Lc, const double* a);
int zam_shd_order(const _shd* shd, int ch);       // -1 for a bad channel
double* zam_shd_alm(const _shd* shd, int ch);     // null for a bad channel
// Root of the sum of squares of degrees 0..min(Lmax, order); 0 when that is negative.
double zam_shd_mag(const _shd* shd, int ch, int Lmax);
// Root of the sum of squares of degree l; 0 outside 0..order.
double zam_shd_ri(const _shd* shd, int ch, int l);

// The (L+1)^2 coefficients a of the function with values f at the poles of
// the open mesh: over the poles (weights their areas) for at most 12 poles,
// else over the nodes (the mean of their three poles, weights their areas),
// the weights scaled to add up to 4 pi.
void zam_shs_integrate(int L, int npoles, int nnodes, const double* f, double* a);
// zam_shs_integrate into a scratch block, then zam_shd_set.
void zam_shs_store(_shd* shd, int ch, int L, int npoles, int nnodes, const double* f);
// Channel ch rotated into out ((L+1)^2 doubles, degrees above the channel's
// order left at 0).
void zam_shs_rotate(const _shd* shd, int ch, int L, double alpha, double beta, double gamma, double* out);
// Value of channel ch up to degree min(L, order) at (theta, phi); 0 when that is negative.
double zam_shs_value(const _shd* shd, int ch, int L, double theta, double phi);
// Values of the expansion a at the poles (fp) and nodes (fn) with their
// least and greatest; without a, each point's polar angle. Nodes take the
// mean of their poles when there are more than 162 poles.
void zam_shs_pole_nodes(int L, const double* a, int npoles, int nnodes, double* fp, double* fn, double* fmin,
                        double* fmax);

// Surface envelopes: the harmonic coefficients up to degree L of values
// given at the mesh's poles, added to coeffs ((L+1)^2 doubles). With more
// than 12 poles the node values (the mean of each node's poles) are written
// to nodeValues and integrated over the nodes. The second form does two
// functions in one pass.
void zam_envelope_integrate(int L, const double* poleValues, double* nodeValues, double* coeffs);
void zam_envelope_integrate2(int L, const double* poleValuesA, double* nodeValuesA, const double* poleValuesB,
                             double* nodeValuesB, double* coeffsA, double* coeffsB);
