// Walks a data file's records by their markers alone, by reads at an offset,
// noting where each record's payload lies; no value is read. For a file whose
// size is known (a regular file or a block device).
#ifndef UNF2MAT_RECORDIO_RECORD_SCAN_H_
#define UNF2MAT_RECORDIO_RECORD_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/file.h"
#include "recordio/record_format.h"
#include "recordio/record_walk.h"

namespace unf2mat {

// `bytes` bytes of a record's payload at `offset` in the file.
struct PayloadPiece {
  std::uint64_t offset;
  std::uint64_t bytes;

  bool operator==(const PayloadPiece&) const = default;
};

// Bytes of the file at an offset, through one window read at a time.
class PositionalWindow {
 public:
  PositionalWindow(InputFile& file, std::uint64_t size,
                   std::size_t window_bytes);

  // The n bytes at `offset` (n no more than the window), reading `read_ahead`
  // bytes or more there where they are not in the window; nullptr where the
  // file ends before them or a read fails (see error()).
  const char* At(std::uint64_t offset, std::size_t n, std::size_t read_ahead);
  std::size_t capacity() const { return buffer_.size(); }
  // The end of what the window holds, as an offset in the file.
  std::uint64_t end() const { return start_ + len_; }
  int error() const { return error_; }

 private:
  InputFile& file_;
  std::uint64_t size_;
  std::vector<char> buffer_;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
  int error_ = 0;
};

namespace record {

// The record walk over a PositionalWindow: payload is not read, only noted.
class ScanCursor {
 public:
  ScanCursor(PositionalWindow& window, std::uint64_t at, std::uint64_t size,
             std::vector<PayloadPiece>* pieces)
      : window_(window), at_(at), size_(size), pieces_(pieces) {}

  Step Marker(char* dst, std::size_t m) {
    if (at_ == size_) return Step::kEnd;
    if (size_ - at_ < m) return Step::kShort;
    Step step = PeekMarker(dst, m);
    if (step == Step::kOk) at_ += m;
    return step;
  }
  Step PeekMarker(char* dst, std::size_t m);
  Step Take(std::uint64_t n) {
    if (n > 0 && !pieces_->empty() &&
        pieces_->back().offset + pieces_->back().bytes == at_) {
      pieces_->back().bytes += n;  // one payload read in two parts
    } else if (n > 0) {
      pieces_->push_back({at_, n});
    }
    at_ += n;
    return Step::kOk;
  }
  Step Skip(std::uint64_t n) {
    at_ += n;
    return Step::kOk;
  }
  std::optional<std::uint64_t> Left() const {
    return size_ > at_ ? size_ - at_ : 0;
  }
  std::uint64_t at() const { return at_; }

 private:
  PositionalWindow& window_;
  std::uint64_t at_;
  std::uint64_t size_;
  std::vector<PayloadPiece>* pieces_;
};

Step WalkRecord(ScanCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes);

}  // namespace record

// Walks the records from the start of the file, one call a record.
class RecordScanner {
 public:
  RecordScanner(InputFile& file, std::uint64_t size,
                const record::Framing& framing);

  // Walks the record at offset(), noting its first `room` payload bytes in
  // *pieces (cleared first) and its length in *bytes; moves past it on kOk.
  record::Step Next(std::uint64_t room, std::vector<PayloadPiece>* pieces,
                    std::uint64_t* bytes);

  // After a record of one subrecord, moves past up to `max` records that
  // follow with the very same markers, checked without a walk each: each is
  // then a record of that length too. Returns how many; a failed read leaves
  // error() set.
  std::uint64_t SkipAlike(std::uint64_t max);

  // The distance from one alike record to the next, once Next has walked a
  // record of one subrecord; 0 otherwise.
  std::uint64_t alike_stride() const { return alike_stride_; }
  std::uint64_t offset() const { return offset_; }
  std::uint64_t size() const { return size_; }
  int error() const { return window_.error(); }

 private:
  PositionalWindow window_;
  std::uint64_t size_;
  record::Framing framing_;
  std::uint64_t offset_ = 0;
  // The markers of the last record walked, where it had one subrecord.
  char marker_[record::kLongMarkerSize] = {};
  std::uint64_t alike_stride_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_RECORD_SCAN_H_
