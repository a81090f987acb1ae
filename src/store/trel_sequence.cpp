#include "store/trel_sequence.h"

#include "runtime/kids.h"

_trel_seq* trel_readSequence(const char*) { return nullptr; }
_trel_seq* trel_readSequenceFasta(const char* file) { return trel_readSequence(file); }
_trel_seq* trel_readSequencePir(const char* file) { return trel_readSequence(file); }

void trel_freeSequence(_trel_seq* seq) {
  if (!seq) return;
  kfree(seq->name);
  kfree(seq->description);
  kfree(seq->sequence);
  kfree(seq);
}

void trel_printSequenceFasta(const _trel_seq*) {}
void trel_printSequencePir(const _trel_seq*) {}
int trel_writeSequenceFasta(const char*, const char*, const _trel_seq*) { return 0; }
int trel_writeSequencePir(const char*, const char*, const _trel_seq*) { return 0; }
