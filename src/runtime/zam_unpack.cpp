#include "runtime/zam_unpack.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"

namespace {

constexpr size_t kIn = size_t{1} << 16;  // packed bytes read at a time
constexpr int64_t kOut = INT_MAX / 2;    // the most one codec call is asked for

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
};

namespace {

// Remembers the first failure; what was unpacked before it in this call
// (done bytes) is given first, and the failure at the next call.
int64_t fail(_zam_unpack* u, int err, int64_t done = 0) {
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

// As zlib's own reader: members one after the other, the bytes after the
// last one passed over, a file that starts with no member copied as it is,
// a member cut short or damaged an error. A member is cut short when the
// codec, all packed bytes in, gives no byte more: what it still held comes
// out first, so the text before the error does not hang on the size of the
// reads.
int64_t readGzip(_zam_unpack* u, char* buf, int64_t n) {
  int64_t done = 0;
  while (done < n) {
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
    u->z.next_out = reinterpret_cast<Bytef*>(buf + done);
    u->z.avail_out = static_cast<uInt>(std::min(n - done, kOut));
    const uInt before = u->z.avail_out;
    const size_t was = u->pos;
    const int ret = inflate(&u->z, Z_NO_FLUSH);
    u->pos = static_cast<size_t>(u->z.next_in - u->in);
    done += before - u->z.avail_out;
    if (ret == Z_STREAM_END) u->how = Gzip::look;
    else if (ret != Z_OK && ret != Z_BUF_ERROR) return fail(u, EIO, done);
    else if (u->pos == was && u->z.avail_out == before) return fail(u, EIO, done);  // a member cut short
  }
  return done;
}

// As bzip2 -dc reads: streams one after the other, the codec started anew
// at each; bytes after the last stream that fail its magic ("BZh" and a
// block size) are passed over, bytes that begin one and end before its end
// are a stream cut short (the codec drained first, as a gzip member). The
// first stream must be there and whole (a file that is no bzip2 file is an
// error).
int64_t readBzip2(_zam_unpack* u, char* buf, int64_t n) {
  int64_t done = 0;
  while (done < n && u->at != Bzip2::end) {
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
    u->b.next_in = reinterpret_cast<char*>(u->in + u->pos);
    u->b.avail_in = static_cast<unsigned>(held(u));
    u->b.next_out = buf + done;
    u->b.avail_out = static_cast<unsigned>(std::min(n - done, kOut));
    const unsigned before = u->b.avail_out;
    const size_t was = u->pos;
    const int ret = BZ2_bzDecompress(&u->b);
    u->pos = static_cast<size_t>(reinterpret_cast<unsigned char*>(u->b.next_in) - u->in);
    done += before - u->b.avail_out;
    if (ret == BZ_STREAM_END) {
      u->streams++;
      u->at = Bzip2::between;
    } else if (ret == BZ_DATA_ERROR_MAGIC && u->streams > 0) {
      u->at = Bzip2::end;  // trailing bytes that start no stream
    } else if (ret != BZ_OK || (u->pos == was && u->b.avail_out == before)) {
      return fail(u, EIO, done);  // damaged, or cut short: no byte more in, none out
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

void zam_unpackClose(_zam_unpack* u) {
  if (!u) return;
  if (u->z_open) inflateEnd(&u->z);
  if (u->b_open) BZ2_bzDecompressEnd(&u->b);
  delete[] u->in;
  delete u;
}
