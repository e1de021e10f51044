#include "matfile/compressed.h"

#include <cerrno>
#include <vector>

#ifdef UNF2MAT_HAVE_ZLIB
#include <zlib.h>
#endif

namespace unf2mat {

#ifdef UNF2MAT_HAVE_ZLIB

struct DeflateFile::Stream {
  z_stream z{};
  bool open = false;
  std::vector<unsigned char> buffer = std::vector<unsigned char>(1 << 20);
};

bool CanDeflate() { return true; }

DeflateFile::DeflateFile(BufferedWriter& out, int level)
    : stream_(std::make_unique<Stream>()), out_(out) {
  stream_->open = deflateInit(&stream_->z, level) == Z_OK;
  if (!stream_->open) error_ = ENOMEM;
}

DeflateFile::~DeflateFile() {
  if (stream_->open) deflateEnd(&stream_->z);
}

int DeflateFile::Deflate(const char* data, std::size_t n, bool finish) {
  if (error_ != 0) return error_;
  z_stream& z = stream_->z;
  // zlib counts in 32 bits: a large write goes in pieces.
  constexpr std::size_t kMost = std::size_t{1} << 30;
  do {
    const std::size_t take = n < kMost ? n : kMost;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(take);
    const bool last = finish && take == n;
    int status;
    do {
      z.next_out = stream_->buffer.data();
      z.avail_out = static_cast<uInt>(stream_->buffer.size());
      status = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      if (status == Z_STREAM_ERROR) return error_ = EIO;
      const std::size_t made = stream_->buffer.size() - z.avail_out;
      out_.Append(reinterpret_cast<const char*>(stream_->buffer.data()), made);
      bytes_out_ += made;
    } while (z.avail_out == 0 || (last && status != Z_STREAM_END));
    data += take;
    n -= take;
  } while (n > 0);
  return 0;
}

int DeflateFile::Write(const char* data, std::size_t n) {
  bytes_in_ += n;
  return Deflate(data, n, false);
}

int DeflateFile::WriteAt(std::uint64_t offset, const char* data,
                         std::size_t n) {
  if (offset != bytes_in_ && error_ == 0) error_ = EINVAL;
  return Write(data, n);
}

int DeflateFile::Finish() { return Deflate(nullptr, 0, true); }

#else

struct DeflateFile::Stream {};

bool CanDeflate() { return false; }

DeflateFile::DeflateFile(BufferedWriter& out, int)
    : stream_(std::make_unique<Stream>()), out_(out), error_(ENOSYS) {}
DeflateFile::~DeflateFile() = default;
int DeflateFile::Deflate(const char*, std::size_t, bool) { return error_; }
int DeflateFile::Write(const char*, std::size_t) { return error_; }
int DeflateFile::WriteAt(std::uint64_t, const char*, std::size_t) {
  return error_;
}
int DeflateFile::Finish() { return error_; }

#endif

}  // namespace unf2mat
