#include "output/trel_print.h"

_trel_text* trel_openText(const char*) { return nullptr; }
void trel_putText(_trel_text*, const char*) {}
void trel_printText(_trel_text*, const char*, ...) {}
int trel_closeText(_trel_text*) { return 0; }
void trel_printAlign(const _trel_align*, const _pdb_image*, const _pdb_image*, int) {}
int trel_writeKrmsd(const _trel_align*, const _pdb_image*, const _pdb_image*, const char*,
                    const char*, const char*) { return 0; }
