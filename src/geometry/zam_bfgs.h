// Bounded quasi-Newton minimiser of up to six variables: forward-difference
// gradients, a BFGS inverse-Hessian estimate and a halving line search that
// ends on a parabola. Every point handed to the objective is clamped into
// the box [lo, hi]. Reentrant; allocates nothing.
#pragma once

// The objective: iter is 0 before the first iteration, then the iteration
// number (from 1), also for that iteration's gradient evaluations.
typedef double (*zam_bfgs_fn)(int n, double* x, void* data, int iter);

// Minimises f from x0 within [lo, hi]; step[i] is a typical change of
// variable i. maxit > 0: at most maxit iterations, stop when a step is
// shorter than tol; maxit < 0: at most -maxit iterations, stop when the
// function changes by less than tol; maxit = 0: one iteration with the
// function-change test. Returns the final value and writes its point to
// xout. A line search without progress, or a step that leaves the gradient
// unchanged, stops at the current point. n outside 1..6 is reported through
// zam_err and returns HUGE_VAL with xout = x0.
double zam_bfgs(zam_bfgs_fn f, int n, int maxit, void* data, const double* x0, const double* lo,
                const double* hi, const double* step, double* xout, double tol);
