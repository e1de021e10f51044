#include "recordio/record_scan.h"

#include <algorithm>
#include <cstring>

namespace unf2mat {

PositionalWindow::PositionalWindow(InputFile& file, std::uint64_t size,
                                   std::size_t window_bytes)
    : file_(file),
      size_(size),
      buffer_(std::max<std::size_t>(window_bytes, 16)) {}

const char* PositionalWindow::At(std::uint64_t offset, std::size_t n,
                                 std::size_t read_ahead) {
  if (offset >= start_ && offset - start_ <= len_ &&
      len_ - (offset - start_) >= n) {
    return buffer_.data() + (offset - start_);
  }
  if (error_ != 0 || offset > size_ || size_ - offset < n) return nullptr;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(
      size_ - offset, std::clamp(read_ahead, n, buffer_.size())));
  start_ = offset;
  len_ = 0;
  while (len_ < want) {
    const IoResult got =
        file_.ReadAt(offset + len_, buffer_.data() + len_, want - len_);
    if (got.error != 0) {
      error_ = got.error;
      return nullptr;
    }
    if (got.bytes == 0) break;  // the file is shorter than it was
    len_ += got.bytes;
  }
  return len_ >= n ? buffer_.data() : nullptr;
}

namespace record {

Step ScanCursor::PeekMarker(char* dst, std::size_t m) {
  if (size_ - std::min(at_, size_) < m) return Step::kEnd;
  const char* src = window_.At(at_, m, window_.capacity());
  if (src == nullptr) return window_.error() != 0 ? Step::kFailed : Step::kEnd;
  std::memcpy(dst, src, m);
  return Step::kOk;
}

}  // namespace record

RecordScanner::RecordScanner(InputFile& file, std::uint64_t size,
                             const record::Framing& framing)
    : window_(file, size, std::size_t{1} << 18),
      size_(size),
      framing_(framing) {}

record::Step RecordScanner::Next(std::uint64_t room,
                                 std::vector<PayloadPiece>* pieces,
                                 std::uint64_t* bytes) {
  pieces->clear();
  alike_stride_ = 0;
  const std::uint64_t start = offset_;
  record::ScanCursor cursor(window_, start, size_, pieces);
  const record::Step step = WalkRecord(cursor, framing_, room, bytes);
  if (step != record::Step::kOk) return step;
  offset_ = cursor.at();
  // One subrecord of a non-negative count: a record with the same leading
  // and trailing marker bytes is then one of the same length.
  const std::size_t m = framing_.marker_size;
  const char* leading = window_.At(start, m, m);
  if (leading == nullptr) return record::Step::kOk;
  const std::int64_t count = record::DecodeCount(leading, framing_);
  if (count >= 0 && static_cast<std::uint64_t>(count) == *bytes &&
      offset_ - start == *bytes + 2 * m) {
    std::memcpy(marker_, leading, m);
    alike_stride_ = offset_ - start;
  }
  return record::Step::kOk;
}

namespace {

// How many records of `stride` bytes from `p` on, at most `max`, open and
// close with `marker`.
template <std::size_t kMarker>
std::uint64_t CountAlike(const char* p, std::uint64_t records,
                         std::uint64_t stride, const char* marker) {
  const std::uint64_t trailing = stride - kMarker;
  for (std::uint64_t k = 0; k < records; ++k, p += stride) {
    if (std::memcmp(p, marker, kMarker) != 0 ||
        std::memcmp(p + trailing, marker, kMarker) != 0) {
      return k;
    }
  }
  return records;
}

}  // namespace

std::uint64_t RecordScanner::SkipAlike(std::uint64_t max) {
  const std::uint64_t stride = alike_stride_;
  if (stride == 0) return 0;
  const std::size_t m = framing_.marker_size;
  std::uint64_t done = 0;
  if (stride <= window_.capacity() / 2) {
    // Many records to a window, checked in memory.
    while (done < max && size_ - offset_ >= stride) {
      const char* p = window_.At(offset_, stride, window_.capacity());
      if (p == nullptr) break;
      const std::uint64_t fit =
          std::min({max - done, (window_.end() - offset_) / stride,
                    (size_ - offset_) / stride});
      const std::uint64_t alike =
          m == record::kMarkerSize
              ? CountAlike<record::kMarkerSize>(p, fit, stride, marker_)
              : CountAlike<record::kLongMarkerSize>(p, fit, stride, marker_);
      done += alike;
      offset_ += alike * stride;
      if (alike < fit) break;
    }
    return done;
  }
  // Records far apart: their markers only, read where they lie.
  while (done < max && size_ - offset_ >= stride) {
    const char* leading = window_.At(offset_, m, m);
    if (leading == nullptr || std::memcmp(leading, marker_, m) != 0) break;
    const char* trailing = window_.At(offset_ + stride - m, m, 2 * m);
    if (trailing == nullptr || std::memcmp(trailing, marker_, m) != 0) break;
    ++done;
    offset_ += stride;
  }
  return done;
}

}  // namespace unf2mat
