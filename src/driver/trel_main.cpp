// The program's entry: denormal floats are flushed to zero for the whole run
// (they only slow the score arithmetic down), then the top level runs.
#include "driver/trel_top.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

int main(int argc, char** argv, char** envp) {
#if defined(__SSE__)
  // Flush-to-zero (bit 15) and denormals-are-zero (bit 6) of MXCSR.
  _mm_setcsr(_mm_getcsr() | 0x8040);
#endif
  return trel_top(argc, argv, envp);
}
