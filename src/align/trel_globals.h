// Process-wide alignment parameters with built-in defaults: gap penalties,
// Gaussian score widths, K-score term weights, identity biases, the residue
// window with its pattern tables, banding and the superposition method.
// Setters clamp and update the derived factors at once; they take no lock and
// belong to start-up and single-threaded stretches. Readers use plain values.
#pragma once

// ---- Primary parameters ------------------------------------------------------

extern float g_rho;      // gap-open unit, stored negative (-0.1)
extern float g_alpha;    // gap-open factor between two helix residues (2)
extern float g_beta;     // gap-open factor between two strand residues (1)
extern float g_gamma;    // gap-open factor for other pairs (0.5)
extern float g_eta;      // gap-extension penalty, stored negative (-0)
extern float g_sigma;    // width scale of the K-score Gaussians (1)
extern float g_tau;      // width scale of the G-score Gaussians (1)
extern float g_omega;    // width scale of the M-score Gaussian (1)
extern float g_trace;    // normalised K-score term weights (0.5, 0.5, 0, 0)
extern float g_spatial;
extern float g_blosum;
extern float g_cut;
extern float w_trace;    // raw K-score term weights, read only by the setters
extern float w_spatial;
extern float w_blosum;
extern float w_cut;
extern float gk_bias;    // identity bias of the K-score (0)
extern float gg_bias;    // identity bias of the G-score (0)
extern int g_window;     // half-width of the residue window, 1..4 (4)
extern int g_window2;    // 2 g_window (8)
extern int g_banded;     // 1: only cells near the diagonal get K-scores (0)
extern float g_filter;   // 0..1, sets the band width (0.7)
extern int g_qcp;        // non-zero: QCP superposition, 0: eigenvector fit (1)
extern float g_chi;      // -1
extern float g_zeta;     // -64
extern float g_lambda;   // 2, read by trace building and SSE assignment
extern float g_equator;  // 8, read by trace building
extern float g_zero;     // 0, passed as a float argument

// ---- Derived values ----------------------------------------------------------

// Gaussian factors -s/(4 (w sigma)^2) of the window vectors +1, -1, +2, -2,
// +3, -3 (trace-record slot order); entries 6 and 7 (+4, -4) stay 0.
extern float ca_factor[8];  // trace term
extern float va_factor[8];  // spatial term
extern const float g_scale[5];  // fixed scales, all 1
extern float gb_factor;  // -1/(4 (1.4 tau)^2): G-score Gaussian
extern float gc_factor;  // -1/(4 (3.2 tau)^2): cut term of the K-score
extern float go_factor;  // -1/(4 (1.4 omega)^2): M-score Gaussian
extern float g_min_kscore;  // -0.5 g_rho: column-score floor of K-score box alignments
extern float g_min_gscore;  // -g_rho: the same for G-score box alignments

// Window tables: row r lists the g_window vector slots for a residue with only
// r neighbours on its N-terminal side (n_pattern) or C-terminal side
// (c_pattern). Valid once trel_alignInitialise or trel_setAlignWindow ran.
extern int n_pattern[4][4];
extern int c_pattern[4][4];
// Maps a neighbour offset d in -4..+4 to the vector slot g_index[d+4].
extern const int g_index[9];

// Colours of the rainbow output files: six colours cycled over matched pairs,
// then the colour (and one-letter code) of residues outside matched pairs.
extern const int n_rainbow;  // 7
extern const char* const rainbow_colour[7];
extern const char* const rainbow_letter[7];

// ---- Setters and getters -----------------------------------------------------

void trel_setAlignRho(float x);     // rho = -min(|x|, 1000); updates the score floors
void trel_setAlignAlpha(float x);   // min(|x|, 10)
void trel_setAlignBeta(float x);    // min(|x|, 10)
void trel_setAlignGamma(float x);   // min(|x|, 10)
void trel_setAlignEta(float x);     // -min(|x|, 100)
void trel_setAlignSigma(float x);   // |x|; recomputes ca_factor and va_factor
void trel_setAlignTau(float x);     // |x|; recomputes gb_factor and gc_factor
void trel_setAlignOmega(float x);   // |x|; recomputes go_factor
// Store x unchanged; a negative x first builds the BLOSUM62 tables (lock 10).
void trel_setAlignKbias(float x);
void trel_setAlignGbias(float x);
// Store |x| as the raw weight of one K-score term and renormalise the four
// (all four near 0 gives 0.5, 0.5, 0, 0). A non-zero BLOSUM weight first
// builds the BLOSUM62 tables.
void trel_setAlignTrace(float x);
void trel_setAlignSpatial(float x);
void trel_setAlignBlosum(float x);
void trel_setAlignCut(float x);
void trel_setAlignBanded(int x);    // 1 when x is non-zero
void trel_setAlignFilter(float x);  // clamped to 0..1
void trel_setQCP(int x);
// Clamps w to 1..4, sets g_window and g_window2 and rebuilds the window
// tables (publishing them under plain lock 10).
void trel_setAlignWindow(int w);

// The four raw K-score term weights together: saved before a step that
// scores by other weights and put back exactly afterwards.
struct _trel_kweights {
  float trace, spatial, blosum, cut;
};
constexpr _trel_kweights kTrelBlosumOnly{0.0f, 0.0f, 1.0f, 0.0f};  // sequence alignment
_trel_kweights trel_getKWeights();
// Sets the four raw weights (BLOSUM first, so that they never all read 0)
// and renormalises.
void trel_setKWeights(_trel_kweights w);

float trel_getAlignTrace();    // normalised weights
float trel_getAlignSpatial();
float trel_getAlignBlosum();
float trel_getAlignCut();
float trel_getAlignRho();      // stored negative
float trel_getAlignEta();      // stored negative
float trel_getAlignTau();
float trel_getAlignOmega();

// Called at the start of every K-matrix set-up: builds the window tables for
// the current g_window when no window was set yet (once, under plain lock 10;
// afterwards an atomic flag makes it lock-free).
void trel_alignInitialise();
