// Walks a data file's records by their markers alone, by reads at an offset,
// noting where each record's payload lies; no value is read. For a file that
// can be read at an offset: a regular file or a block device, whose size is
// known, or a stream kept as it is read, whose size is not.
#ifndef UNF2MAT_RECORDIO_RECORD_SCAN_H_
#define UNF2MAT_RECORDIO_RECORD_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "io/file.h"
#include "io/offset_window.h"
#include "recordio/record_format.h"
#include "recordio/record_walk.h"

namespace unf2mat {

// `bytes` bytes of a record's payload at `offset` in the file.
struct PayloadPiece {
  std::uint64_t offset;
  std::uint64_t bytes;

  bool operator==(const PayloadPiece&) const = default;
};

namespace record {

// The record walk over an OffsetWindow: payload is not read, only noted.
class ScanCursor {
 public:
  ScanCursor(OffsetWindow& window, std::uint64_t at,
             std::optional<std::uint64_t> size,
             std::vector<PayloadPiece>* pieces)
      : window_(window), at_(at), size_(size), pieces_(pieces) {}

  Step Marker(char* dst, std::size_t m);
  Step PeekMarker(char* dst, std::size_t m);
  // Leading markers read: the subrecords of a record that walked whole.
  std::size_t markers() const { return markers_; }
  Step Take(std::uint64_t n) {
    if (n > 0 && !pieces_->empty() &&
        pieces_->back().offset + pieces_->back().bytes == at_) {
      pieces_->back().bytes += n;  // one payload read in two parts
    } else if (n > 0) {
      pieces_->push_back({at_, n});
    }
    return Skip(n);
  }
  Step Skip(std::uint64_t n) {
    at_ += n;
    if (n >= window_.capacity() / 2) far_ = true;
    return Step::kOk;
  }
  std::optional<std::uint64_t> Left() const {
    if (!size_) return std::nullopt;
    return *size_ > at_ ? *size_ - at_ : 0;
  }
  std::uint64_t at() const { return at_; }

 private:
  OffsetWindow& window_;
  std::uint64_t at_;
  std::optional<std::uint64_t> size_;
  std::vector<PayloadPiece>* pieces_;
  std::size_t markers_ = 0;
  // Past a payload that fills half the window: records this long are read
  // no further ahead than the next few markers.
  bool far_ = false;
};

Step WalkRecord(ScanCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat = nullptr);

}  // namespace record

// Walks the records from the start of the file, one call a record, and runs
// of repeats of a record many at a time.
class RecordScanner {
 public:
  // `size`, where known, bounds every walk; else the file's end shows where
  // reads find no more. The walk begins at `start`, where a record does.
  RecordScanner(InputFile& file, std::optional<std::uint64_t> size,
                const record::Framing& framing, std::uint64_t start = 0);

  // Walks the record at offset(), noting its first `room` payload bytes in
  // *pieces (cleared first) and its length in *bytes; moves past it on kOk.
  record::Step Next(std::uint64_t room, std::vector<PayloadPiece>* pieces,
                    std::uint64_t* bytes);

  // Moves past up to `max` records that repeat the one Next walked last
  // (see record::Repeat): each is a record of that length. Returns how many;
  // a failed read leaves error() set.
  std::uint64_t SkipRepeats(std::uint64_t max);

  // Moves past `n` records taken to repeat the one Next walked last, as the
  // file's size foretells, without reading them: RecordsRepeat checks them.
  void Foresee(std::uint64_t n) { offset_ += n * repeat_.stride; }

  // Walks beside a conversion, which has the cores and the memory: on the
  // caller's thread alone, where otherwise a long run of repeats is counted
  // by two, and, where `markers_only`, reading each record's markers where
  // they lie, however close, rather than the records whole.
  void WalkBeside(bool markers_only) {
    one_thread_ = true;
    markers_only_ = markers_only;
  }

  // Copies bytes [from, from + n) of the payload that lies in `pieces` (as
  // Next noted them) into dst; false where a read fails or finds the end.
  bool ReadPayload(const std::vector<PayloadPiece>& pieces, std::uint64_t from,
                   std::size_t n, char* dst);

  // The subrecords of the record Next walked last.
  std::size_t subrecords() const { return subrecords_; }
  // The distance from one repeat to the next, where the record Next walked
  // last may be repeated; 0 otherwise.
  std::uint64_t repeat_stride() const { return repeat_.stride; }
  const record::Repeat& repeat() const { return repeat_; }
  std::uint64_t offset() const { return offset_; }
  int error() const { return window_.error(); }

 private:
  // Whether `n` bytes at offset() are in the file; false on a failed read.
  bool Holds(std::uint64_t n);
  // SkipRepeats over the file's mapped pages; stops where they cannot be
  // mapped or the file was cut short, for the window to go on.
  std::uint64_t SkipMappedRepeats(std::uint64_t max);

  InputFile& file_;
  OffsetWindow window_;
  std::optional<std::uint64_t> size_;
  record::Framing framing_;
  std::uint64_t offset_ = 0;
  record::Repeat repeat_;
  std::size_t subrecords_ = 0;
  bool one_thread_ = false;
  bool markers_only_ = false;
};

// Whether `n` records from `at` in `file` of `size` each repeat `repeat`:
// what RecordScanner::Foresee took for granted, checked beside a
// conversion (RecordScanner::WalkBeside). False where one does not, or
// where a read fails.
bool RecordsRepeat(InputFile& file, std::uint64_t size,
                   const record::Framing& framing, std::uint64_t at,
                   std::uint64_t n, const record::Repeat& repeat,
                   bool markers_only);

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_RECORD_SCAN_H_
