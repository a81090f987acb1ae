// The one decoder of compressed files (gzip and bzip2): a file read from a
// descriptor and unpacked as it is read. The file streams of zam_file.h
// read their gzip and bzip2 files through it, and so does a reader that
// stamps what it parses, every packed byte read once and taken into a
// checksum of the file as it lies on disk (zam_filesum.h) as it is read, so
// that it need not read the file a second time: the two paths cannot read
// one file two ways. What comes out: gzip members one after the other
// (bytes after the last member that start none are passed over), a file
// that is not gzip at all as it is; bzip2 streams one after the other, as
// parallel packers write a large file and as concatenated files are, where
// libbz2's own reader stops after the first (bytes after the last stream
// that do not start one with its magic are passed over, as bzip2 -dc
// passes them). A stream cut short or damaged is an error, never a shorter
// text, and the text of a damaged part does not come out before the error:
// a bzip2 block's text is held until the block passes its check (a block
// is at most 900 kB before its runs are undone), and so is a gzip member's
// up to 1 MB of text; a longer member, checked only at its end however far
// that lies, goes out unchecked 1 MB at a time. One thread at a time.
#pragma once

#include <cerrno>
#include <cstdint>

struct _zam_filesum;
struct _zam_text;
struct _zam_unpack;

// Starts unpacking the file open at fd (the caller keeps and closes it)
// with codec kind (ZAM_FGZIP or ZAM_FBZIP2 of zam_file.h): every byte read
// from fd is added to sum when given. Null when the codec cannot start or
// the kind is another (errno). Release with zam_unpackClose.
_zam_unpack* zam_unpackOpen(int fd, uint32_t kind, _zam_filesum* sum);
// The errno of a failure in the packed bytes themselves, which no read of a
// file gives: the file ends within a stream (cut short), or its bytes break
// the format or fail a check (damaged).
constexpr int ZAM_UNPACK_CUT = ENODATA;
constexpr int ZAM_UNPACK_DAMAGED = EBADMSG;

// Up to n unpacked bytes into buf: their count; 0 at the end of the text;
// -1 when the stream is cut short (errno ZAM_UNPACK_CUT) or damaged
// (ZAM_UNPACK_DAMAGED), when a read failed (its errno) or no memory could be
// had (ENOMEM), once the text checked before that point has been given
// (none of the text held unchecked then). After -1 every read gives -1 with
// the same errno.
int64_t zam_unpackRead(_zam_unpack* u, char* buf, int64_t n);
// zam_readTextBlock of the unpacked text: the unread end text[from..size)
// moved to the front and up to want more unpacked bytes after it. The
// bytes added, 0 at the end, -1 as zam_unpackRead.
int64_t zam_unpackTextBlock(_zam_unpack* u, int64_t from, int64_t want, _zam_text* text);
// What the errno of a failed read means, for a message: "the compressed
// file is cut short", "the compressed data is damaged", or the system's text.
const char* zam_unpackFailure(int err);
// Ends the codec and frees u (null accepted); fd stays open, at the end of
// the packed bytes read so far.
void zam_unpackClose(_zam_unpack* u);
