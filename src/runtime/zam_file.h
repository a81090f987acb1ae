// File streams: one handle (_zam_file) for plain, gzip (".gz"), bzip2 (".bz",
// ".bz2") and pipe files, the kind chosen by the file name's ending; line and
// token readers; whole-block reads and writes with plain system calls, and
// a small file read whole; text read in blocks into a reusable buffer; and
// the starting of other programs. Compressed files are read through the one
// decoder of zam_unpack.h (gzip members and bzip2 streams one after the
// other). A handle belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct stat;

struct gzFile_s;
struct _zam_unpack;

// Handle flag bits. A gzip or bzip2 handle always carries ZAM_FBINARY too.
constexpr uint32_t ZAM_FWRITE = 1;
constexpr uint32_t ZAM_FBINARY = 2;
constexpr uint32_t ZAM_FPIPE = 4;
constexpr uint32_t ZAM_FGZIP = 8;
constexpr uint32_t ZAM_FBZIP2 = 16;
constexpr uint32_t ZAM_FSUM = 32;  // a plain file writer keeps the CRC-32 of what it writes (zam_fsumStart)

// Callers use the handle only through the functions below.
struct _zam_file {
  uint32_t flags;       // ZAM_F* bits; flags & 24 is the codec
  FILE* fp;             // plain file, pipe end, or the file beneath a bzip2 writer
  gzFile_s* gz;         // zlib stream of a gzip writer
  void* bz;             // libbz2 stream of a bzip2 writer (BZFILE*)
  _zam_unpack* unpack;  // decoder of a gzip or bzip2 reader (zam_unpack.h), over fd
  int fd;               // the file beneath a gzip or bzip2 reader
  int pid;              // child process of a pipe
  char* name;           // copy of the path; "stream" for a descriptor; null for a pipe
  int line;             // lines read or written (see zam_freadln, zam_fwriteln)
  int error;            // first read/write/flush failure (errno value, ZAM_UNPACK_CUT or
                        // ZAM_UNPACK_DAMAGED of a compressed stream, or -1), 0 while none
  // Read-ahead of a reader (gzip, bzip2, plain regular file): every read call
  // takes these bytes first. Pipes and other streams read through stdio only.
  char* rbuf;           // guarded allocation made at the first read; freed by zam_fclose
  int rpos;             // next unread byte in rbuf
  int rlen;             // end of the data in rbuf
  int rmode;            // 0 not yet known, 1 read ahead, 2 byte by byte through stdio
  int cut;              // the last line zam_freadln gave was cut (see zam_flinecut)
  uint32_t sum;         // CRC-32 of the bytes written since zam_fsumStart, while ZAM_FSUM is set
  char* wbuf;           // stdio's buffer of a plain writer given one (zam_fbuffer); freed by zam_fclose
};

// Opens path for reading, or for writing from scratch when mode holds 'w';
// 'b' asks for binary, other letters are ignored. The kind comes from the
// ending: exactly ".gz" gzip, ".bz" or ".bz2" bzip2, else stdio. Null without
// a message when the file or codec cannot be opened (errno tells why).
// Release with zam_fclose.
_zam_file* zam_fopen(const char* path, const char* mode);
// The same over an open descriptor (taken over by the handle); kind
// ZAM_FGZIP or ZAM_FBZIP2 selects the codec, anything else stdio.
_zam_file* zam_fdopen(int fd, const char* mode, int kind);
// Gives a plain writer (no codec, no pipe), before its first write, a
// buffer of size bytes, so that a file of up to that size goes to the
// system in one write rather than in pieces of the file system's block
// size (a result file is most often a few kilobytes to a few dozen). 1; 0
// for any other handle, or when the buffer cannot be had (the stream keeps
// its own then).
int zam_fbuffer(_zam_file* f, int size);
// The codec a file name's ending selects: ZAM_FGZIP, ZAM_FBZIP2 or 0 (stdio).
uint32_t zam_fkind(const char* path);
// Starts program with up to two arguments (null or empty ones are not passed)
// and returns a handle writing to its standard input / reading its standard
// output. Null after a zam_err report when the pipe or fork fails. A child
// that cannot run the program reports it and exits with status 127, which
// zam_fclose then returns.
_zam_file* zam_popen_write(const char* program, const char* arg1, const char* arg2);
_zam_file* zam_popen_read(const char* program, const char* arg1, const char* arg2);
// Closes and frees the handle. Returns 0 on success; -1 for null, after an
// earlier failed write or flush of a writer, or when the close fails; for a
// pipe the child's wait status (non-zero when it failed).
int zam_fclose(_zam_file* f);
// Flushes (null: all stdio streams). 0 on success, -1 on failure (remembered).
int zam_fflush(_zam_file* f);
// Back to the start (a pipe cannot seek); the line counter becomes 0.
// 0 on success, -1 on failure.
int zam_rewind(_zam_file* f);
int zam_fline(const _zam_file* f);
// 1 once a read or write of the handle has failed, else 0 (also for null).
// A read that stops on a gzip or bzip2 stream cut short or damaged, or on an
// I/O error, counts; a clean end of file does not. Readers ask it after their
// last read to tell a damaged file from a short one. The first failure stays
// until zam_fclose, whatever follows (zam_rewind included).
int zam_ferror(const _zam_file* f);
// What the first failure of the handle was, for a message: "the compressed
// file is cut short", "the compressed data is damaged" or the system's text
// (zam_unpackFailure); "" while there is none (also for null).
const char* zam_ferrorText(const _zam_file* f);
const char* zam_fname(const _zam_file* f);

// Next byte 0..255, or -1 at end or on error.
int zam_fgetc(_zam_file* f);
// Reads n bytes. stdio: 1 when all n were read, else 0; gzip and bzip2: the
// byte count, -1 on a codec error.
int64_t zam_fread(_zam_file* f, void* buf, int64_t n);
// Reads of a handle may be mixed freely: all take the bytes read ahead first.
// Next line into buf (n bytes, always terminated): carriage returns dropped,
// the newline not kept, the rest of a line longer than n-1 skipped. Returns
// its length, or -1 at end of file when nothing was read. Counts the line
// (a last line without its newline too).
int zam_freadln(_zam_file* f, int n, char* buf);
// 1 when the last line zam_freadln gave was cut: it held more than n-1
// bytes, carriage returns not counted. Else 0 (also for null).
int zam_flinecut(const _zam_file* f);
// Reads lines into buf until one starts with key; the text already in buf is
// tested first. 1 when found, -1 at end of file.
int zam_ffindln(_zam_file* f, const char* key, int n, char* buf);
// Next token into buf: newline, carriage return and (when given) any byte of
// separators end it; bytes past n-1 are dropped. Its length, or -1 at end.
int zam_freadtok(_zam_file* f, const char* separators, int n, char* buf);
// All remaining tokens (as zam_freadtok with scratch buffer buf of n bytes)
// as a kget1S array of copies in *tokens, released with kfree; returns the
// count. No tokens: 0 and a null array.
int zam_ftokenise(_zam_file* f, const char* separators, int n, char* buf, char*** tokens);

// stdio and gzip: their own fputc result; bzip2: 1, or -1 on a codec error.
int zam_fputc(_zam_file* f, int c);
// Returns strlen(s), or the first zam_fputc result below 1; "" gives 0.
int zam_fputs(_zam_file* f, const char* s);
// printf-style write of at most 1023 characters (longer output is cut; write
// long rows with zam_fwrite). gzip: bytes written; bzip2: bytes or -1;
// stdio: 1 when the text was written whole, else 0.
int zam_fprintf(_zam_file* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes n bytes. stdio: 1 when all were written, else 0; gzip: bytes
// written; bzip2: n, or -1 on a codec error.
int64_t zam_fwrite(_zam_file* f, const void* buf, int64_t n);
// Writes s and a newline and counts the line; returns zam_fwrite's result for s plus one.
int64_t zam_fwriteln(_zam_file* f, const char* s);
// Starts the CRC-32 of the bytes a writer of a plain file (no codec, no
// pipe: what it is handed is what the file holds) writes from now on, so
// that a writer that seals its file with its checksum need not read it
// back. 1; 0 for any other handle (or null).
int zam_fsumStart(_zam_file* f);
// The CRC-32 of the bytes written since zam_fsumStart into *sum: 1; 0 when
// there is none (never started, or ended by a failed write or a rewind).
int zam_fsum(const _zam_file* f, uint32_t* sum);

// A buffer for file text read in blocks, kept from one file to the next:
// size bytes of text followed by ZAM_TEXT_PAD zero bytes, so that a reader
// may load (and write a terminator) a little past the end.
constexpr int ZAM_TEXT_PAD = 64;
struct _zam_text {
  char* data;    // null until the first read
  int64_t size;  // bytes of text held
  int64_t cap;   // room for text, the padding not counted
};
// Moves the unread end text[from..size) to the front and reads up to want
// more bytes of descriptor fd after it with one read call (repeated when
// interrupted), the room growing as needed; text->size is then the bytes
// held. Returns the bytes read: 0 at the end of the file, -1 on a read error
// or when no room can be had (errno tells).
int64_t zam_readTextBlock(int fd, int64_t from, int64_t want, _zam_text* text);
// The first half of zam_readTextBlock for a reader of another source: moves
// the unread end text[from..size) to the front and makes room for *want more
// bytes after it (*want clamped to what one read takes): where they go, or
// null when no room can be had (errno). The reader puts up to *want bytes
// there and counts them with zam_textAdd (n <= 0: none), which pads the text.
char* zam_textRoomAfter(_zam_text* text, int64_t from, int64_t* want);
void zam_textAdd(_zam_text* text, int64_t n);
// Frees the room of text and empties it; null is accepted.
void zam_freeText(_zam_text* text);

// Reads n bytes of descriptor fd with plain system calls: from its current
// position, or at offset (pread, the position untouched) when offset >= 0.
// Goes on after partial reads and interruptions; returns the bytes read,
// fewer than n only at the end of the file or on an error.
int64_t zam_readAll(int fd, void* buf, int64_t n, int64_t offset = -1);
// The same for writing (pwrite at offset >= 0); returns the bytes written,
// fewer than n only on an error.
int64_t zam_writeAll(int fd, const void* buf, int64_t n, int64_t offset = -1);
// Reads the regular file at path whole into *bytes (replaced): the path
// itself (a link is not followed) unless follow is true; nothing that is not
// a regular file (a pipe, a device) is opened for reading. Its status when
// opened goes to *st when given. 1; 0 when it cannot be read, is no regular
// file (EINVAL), is larger than max_bytes (EFBIG) or changed size under the
// read (EIO), with errno telling why. No message.
int zam_readWholeFile(const char* path, std::string* bytes, int64_t max_bytes, struct stat* st = nullptr,
                      bool follow = false);
// Reads n bytes from the start of path with plain system calls (no codec).
// 1 when exactly n were read; otherwise buf is zeroed and 0 returned.
int zam_bbread(const char* path, void* buf, int64_t n);
// Deletes path, creates it afresh (0666 less the umask) and writes n bytes.
// 1 when all were written, else 0.
int zam_bbwrite(const char* path, const void* buf, int64_t n);
// Flushes all output and starts program (empty or null arguments are not
// passed) without waiting. Returns the child's process id, or 0 after a
// zam_err report. A child that cannot run the program reports it.
int zam_spawn_file(const char* program, const char* arg1, const char* arg2);
// As zam_spawn_file, the child trying each name of the null-terminated list.
int zam_spawn_list(const char* const* programs, const char* arg1, const char* arg2);
