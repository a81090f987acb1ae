#include "runtime/zam_unpack.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"

namespace {

constexpr size_t kIn = size_t{1} << 16;  // packed bytes read at a time
// Text is held in pieces of this size, each at a fixed place in the text:
// the codec is asked for text up to the end of the piece it writes in, so
// that where it stops, and so the text given before an error, hangs on the
// file alone. A long text held takes its size and no more (no room doubled
// and copied).
constexpr size_t kPiece = size_t{1} << 16;
// The most text of a gzip member held unchecked: a member of a structure's
// text, as long as a bzip2 block of it, is checked before any of it goes.
constexpr uint64_t kGzipHold = uint64_t{1} << 20;

// Pieces of the decoders this thread closed, taken by the next one it
// opens: reading file after file, the text is held in pages already had,
// not in fresh ones asked of the system for each file. At most kSpareMost
// are kept (a bzip2 block of long runs takes hundreds).
constexpr size_t kSpareMost = 32;
thread_local std::vector<std::unique_ptr<char[]>> spare;

// What a gzip stream is at: looking for a member's magic bytes, in a member,
// copying a file that is no gzip file at all, or at its end.
enum class Gzip { look, member, copy, end };

// What a bzip2 stream is at: in a stream, between two (the last one ended:
// more bytes start the next), or at the end of the text.
enum class Bzip2 { stream, between, end };

}  // namespace

struct _zam_unpack {
  int fd = -1;
  uint32_t kind = 0;
  _zam_filesum* sum = nullptr;
  unsigned char* in = nullptr;  // packed bytes in[pos..len) read and not yet unpacked
  size_t pos = 0, len = 0;
  bool eof = false;     // fd read to its end
  bool failed = false;  // damaged, cut short, or a read failed
  int err = 0;
  z_stream z{};
  bool z_open = false;
  Gzip how = Gzip::look;
  bool direct = true;  // no member met yet: a file that starts none is copied as it is
  bz_stream b{};
  bool b_open = false;
  Bzip2 at = Bzip2::stream;
  int streams = 0;  // bzip2 streams ended so far
  // Text as the codec gave it, counted from the start of the text: up to
  // ready checked (or let go unchecked, of a long gzip member), of which
  // given..ready not yet given; ready..made of a bzip2 block or a gzip member
  // not yet checked. It lies from base on in pieces (base, a multiple of
  // kPiece, lies within the piece of given); pieces past made are room.
  std::deque<std::unique_ptr<char[]>> pieces;
  uint64_t base = 0, given = 0, ready = 0, made = 0;
};

namespace {

// Remembers the first failure; what was unpacked and checked before it in
// this call (done bytes) is given first, and the failure at the next call.
// The text held unchecked is never given.
int64_t fail(_zam_unpack* u, int err, int64_t done = 0) {
  u->made = u->ready;
  if (!u->failed) {
    u->failed = true;
    u->err = err;
  }
  errno = u->err;
  return done > 0 ? done : -1;
}

// Reads more packed bytes after those not yet unpacked (moved to the front),
// each taken into the sum; false when the read failed. At the end, eof.
bool fill(_zam_unpack* u) {
  if (u->pos > 0) {
    std::memmove(u->in, u->in + u->pos, u->len - u->pos);
    u->len -= u->pos;
    u->pos = 0;
  }
  if (u->eof || u->len == kIn) return true;
  ssize_t got;
  do {
    got = read(u->fd, u->in + u->len, kIn - u->len);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (got == 0) {
    u->eof = true;
    return true;
  }
  if (u->sum) zam_sumAdd(u->sum, u->in + u->len, got);
  u->len += static_cast<size_t>(got);
  return true;
}

size_t held(const _zam_unpack* u) { return u->len - u->pos; }

// Gives checked text held, up to n bytes, into buf; the count. A piece
// given whole goes back to the thread's spare pieces, or is freed.
int64_t give(_zam_unpack* u, char* buf, int64_t n) {
  int64_t done = 0;
  while (done < n && u->given < u->ready) {
    const uint64_t at = u->given - u->base;
    const uint64_t take = std::min({u->ready - u->given, kPiece - at, static_cast<uint64_t>(n - done)});
    std::memcpy(buf + done, u->pieces.front().get() + at, take);
    u->given += take;
    done += static_cast<int64_t>(take);
    if (at + take == kPiece) {
      if (spare.size() < kSpareMost) spare.push_back(std::move(u->pieces.front()));
      u->pieces.pop_front();
      u->base += kPiece;
    }
  }
  return done;
}

// Where the codec writes next (at made) and how much room is left in that
// piece, a piece added when made starts one.
char* room(_zam_unpack* u, size_t* avail) {
  const uint64_t at = u->made - u->base;
  if (at / kPiece == u->pieces.size()) {
    if (spare.empty()) {
      u->pieces.push_back(std::make_unique_for_overwrite<char[]>(kPiece));
    } else {
      u->pieces.push_back(std::move(spare.back()));
      spare.pop_back();
    }
  }
  *avail = kPiece - at % kPiece;
  return u->pieces[at / kPiece].get() + at % kPiece;
}

// As zlib's own reader: members one after the other, the bytes after the
// last one passed over, a file that starts with no member copied as it is,
// a member cut short or damaged an error. A member is cut short when the
// codec, all packed bytes in, gives no byte more.
//
// A member is checked only at its end, by the CRC of its text: its text is
// held until then, so that a damaged member's text does not come out
// before its error. A member may be of any length: text is held up to
// kGzipHold bytes, and a longer member goes out unchecked that much at a
// time (its error still comes, at its end).
int64_t readGzip(_zam_unpack* u, char* buf, int64_t n) {
  int64_t done = 0;
  while (done < n) {
    if (u->given < u->ready) {
      done += give(u, buf + done, n - done);
      continue;
    }
    if (u->how == Gzip::look) {
      while (held(u) < 2 && !u->eof)
        if (!fill(u)) return fail(u, errno, done);
      if (held(u) > 1 && u->in[u->pos] == 0x1f && u->in[u->pos + 1] == 0x8b) {
        inflateReset(&u->z);
        u->how = Gzip::member;
        u->direct = false;
      } else {
        u->how = u->direct && held(u) > 0 ? Gzip::copy : Gzip::end;
      }
    }
    if (u->how == Gzip::end) break;
    if (held(u) == 0) {
      if (!fill(u)) return fail(u, errno, done);
      if (held(u) == 0 && u->how == Gzip::copy) {
        u->how = Gzip::end;
        break;
      }
    }
    if (u->how == Gzip::copy) {
      const size_t take = std::min(held(u), static_cast<size_t>(n - done));
      std::memcpy(buf + done, u->in + u->pos, take);
      u->pos += take;
      done += static_cast<int64_t>(take);
      continue;
    }
    u->z.next_in = u->in + u->pos;
    u->z.avail_in = static_cast<uInt>(held(u));
    size_t avail;
    u->z.next_out = reinterpret_cast<Bytef*>(room(u, &avail));
    u->z.avail_out = static_cast<uInt>(avail);
    const uInt before = u->z.avail_out;
    const size_t was = u->pos;
    const int ret = inflate(&u->z, Z_NO_FLUSH);
    u->pos = static_cast<size_t>(u->z.next_in - u->in);
    u->made += before - u->z.avail_out;
    if (ret == Z_STREAM_END) {
      u->ready = u->made;
      u->how = Gzip::look;
    } else if (ret == Z_MEM_ERROR) {
      return fail(u, ENOMEM, done);
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      return fail(u, ZAM_UNPACK_DAMAGED, done);
    } else if (u->pos == was && u->z.avail_out == before) {
      return fail(u, ZAM_UNPACK_CUT, done);
    } else if (u->made - u->ready >= kGzipHold) {
      u->ready = u->made;  // a long member: this much goes out unchecked
    }
  }
  return done;
}

// As bzip2 -dc reads: streams one after the other, the codec started anew
// at each; bytes after the last stream that fail its magic ("BZh" and a
// block size) are passed over, bytes that begin one and end before its end
// are a stream cut short. The first stream must be there and whole (a file
// that is no bzip2 file is an error).
//
// The codec gives a block's text as it undoes the block and checks the
// block's CRC only after its last byte: the text of a damaged block would
// come out before its error. So the text is held until it is known checked.
// The codec reads a whole block before it gives any of its text and, once
// it gives text, goes on until the block ends or the room it was given (to
// the end of a piece) is full: a call that ends with room to spare has
// checked every block it gave text of (it stopped for want of packed bytes,
// or at the stream's end). A call that fills its room leaves the block's
// end unknown;
// the codec then goes on with no packed byte more, so that it ends that
// block (and the next, when it took that in as the room filled; the few
// bits it keeps in reserve cannot make a block or a stream's end) and
// begins no other. What is held is so at most two blocks' text: about 1 MB
// each of a structure's text, at most some 46 MB for a block of long runs
// of one byte. The end of a sound block whose text came in one call with
// that of a damaged one is held back with it: the text given before the
// error ends at or before the end of the last sound block.
int64_t readBzip2(_zam_unpack* u, char* buf, int64_t n) {
  int64_t done = 0;
  while (done < n) {
    if (u->given < u->ready) {
      done += give(u, buf + done, n - done);
      continue;
    }
    if (u->at == Bzip2::end) break;
    const uint64_t unchecked = u->made - u->ready;
    if (unchecked == 0) {
      if (held(u) == 0) {
        if (!fill(u)) return fail(u, errno, done);
        if (held(u) == 0 && u->at == Bzip2::between) {
          u->at = Bzip2::end;
          break;
        }
      }
      if (u->at == Bzip2::between) {
        BZ2_bzDecompressEnd(&u->b);
        u->b = bz_stream{};
        u->b_open = BZ2_bzDecompressInit(&u->b, 0, 0) == BZ_OK;
        if (!u->b_open) return fail(u, ENOMEM, done);
        u->at = Bzip2::stream;
      }
    }
    // A block whose end is not known is ended with no packed byte more.
    u->b.next_in = reinterpret_cast<char*>(u->in + u->pos);
    u->b.avail_in = unchecked > 0 ? 0 : static_cast<unsigned>(held(u));
    size_t avail;
    u->b.next_out = room(u, &avail);
    u->b.avail_out = static_cast<unsigned>(avail);
    const unsigned before = u->b.avail_out;
    const size_t was = u->pos;
    const int ret = BZ2_bzDecompress(&u->b);
    u->pos = static_cast<size_t>(reinterpret_cast<unsigned char*>(u->b.next_in) - u->in);
    u->made += before - u->b.avail_out;
    if (ret == BZ_STREAM_END) {
      u->ready = u->made;  // the stream's own CRC checked too
      u->streams++;
      u->at = Bzip2::between;
    } else if (ret == BZ_DATA_ERROR_MAGIC && u->streams > 0) {
      u->at = Bzip2::end;  // trailing bytes that start no stream
    } else if (ret == BZ_MEM_ERROR) {
      return fail(u, ENOMEM, done);
    } else if (ret != BZ_OK) {
      return fail(u, ZAM_UNPACK_DAMAGED, done);  // no text of the damaged block is given
    } else if (unchecked == 0 && u->pos == was && u->b.avail_out == before) {
      return fail(u, ZAM_UNPACK_CUT, done);  // no byte more in, none out
    } else if (u->b.avail_out > 0) {
      u->ready = u->made;
    }
  }
  return done;
}

}  // namespace

_zam_unpack* zam_unpackOpen(int fd, uint32_t kind, _zam_filesum* sum) {
  if (fd < 0 || (kind != ZAM_FGZIP && kind != ZAM_FBZIP2)) {
    errno = EINVAL;
    return nullptr;
  }
  auto* u = new _zam_unpack;
  u->fd = fd;
  u->kind = kind;
  u->sum = sum;
  u->in = new unsigned char[kIn];
  if (kind == ZAM_FGZIP)
    u->z_open = inflateInit2(&u->z, 15 + 16) == Z_OK;  // gzip members only, as zlib's reader
  else
    u->b_open = BZ2_bzDecompressInit(&u->b, 0, 0) == BZ_OK;
  if (!u->z_open && !u->b_open) {
    zam_unpackClose(u);
    errno = ENOMEM;
    return nullptr;
  }
  return u;
}

int64_t zam_unpackRead(_zam_unpack* u, char* buf, int64_t n) {
  if (!u || !buf) return -1;
  if (u->failed) return fail(u, u->err);
  if (n < 1) return 0;
  return u->kind == ZAM_FGZIP ? readGzip(u, buf, n) : readBzip2(u, buf, n);
}

int64_t zam_unpackTextBlock(_zam_unpack* u, int64_t from, int64_t want, _zam_text* text) {
  char* room = zam_textRoomAfter(text, from, &want);
  if (!room) return -1;
  const int64_t got = zam_unpackRead(u, room, want);
  zam_textAdd(text, got);
  return got;
}

const char* zam_unpackFailure(int err) {
  if (err == ZAM_UNPACK_CUT) return "the compressed file is cut short";
  if (err == ZAM_UNPACK_DAMAGED) return "the compressed data is damaged";
  return strerror(err > 0 ? err : EIO);
}

void zam_unpackClose(_zam_unpack* u) {
  if (!u) return;
  if (u->z_open) inflateEnd(&u->z);
  if (u->b_open) BZ2_bzDecompressEnd(&u->b);
  for (auto& piece : u->pieces)
    if (spare.size() < kSpareMost) spare.push_back(std::move(piece));
  delete[] u->in;
  delete u;
}
