// Amino-acid sequences given in place of a structure: the sequence record,
// its reader for FASTA and PIR files (plain, gzip or bzip2), its printers into
// the log and its writers to ".fasta" and ".pir" files. Rows are written in
// lines of at most 80 letters.
#pragma once

// One sequence; every string is owned by the record (kdupS/kget1C blocks).
struct _trel_seq {
  int length;         // letters in sequence
  char* name;         // header text after ">" or after ">P1;" / ">F1;"
  char* description;  // PIR description line; null for FASTA
  char* sequence;     // letters without blanks or final '*'; null when none
};

// Reads the first record of a FASTA or PIR file (the header tells which).
// A header or description line is kept to its first 256 bytes, a longer
// one said once with the file and the line; lines of letters are read
// whole, however long. Null after an error report naming the file when it
// is missing, empty, unreadable (a compressed file cut short or damaged) or
// has no '>' header. The caller frees the record with trel_freeSequence.
_trel_seq* trel_readSequence(const char* file);
// Both are trel_readSequence: the format is told by the header.
_trel_seq* trel_readSequenceFasta(const char* file);
_trel_seq* trel_readSequencePir(const char* file);
// Releases the strings and the record; null is ignored.
void trel_freeSequence(_trel_seq* seq);

// Write the record into the log through zam_msg (FASTA; PIR with the
// description line as ";text"). Null records print nothing.
void trel_printSequenceFasta(const _trel_seq* seq);
void trel_printSequencePir(const _trel_seq* seq);

// Write the record to folder + root + ".fasta" / ".pir" (folder must end in
// "/"), through a temporary file renamed on success. 1 on success; 0 after an
// error report naming the file, leaving any old file in place.
int trel_writeSequenceFasta(const char* folder, const char* root, const _trel_seq* seq);
int trel_writeSequencePir(const char* folder, const char* root, const _trel_seq* seq);
