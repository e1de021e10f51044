// Reading the records of a data file in order.
#ifndef UNF2MAT_RECORDIO_RECORD_READER_H_
#define UNF2MAT_RECORDIO_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "io/buffered_input.h"
#include "io/file.h"
#include "io/read_status.h"
#include "recordio/record_format.h"
#include "recordio/record_walk.h"

namespace unf2mat {

// How the framing of a data file was decided.
struct FramingChoice {
  enum class Basis {
    kVerified,   // its first non-empty record checked in full (or no record)
    kAmbiguous,  // the first records leave more than one framing open
    kNoneFits,   // no framing fits the first records
  };
  record::Framing framing;
  Basis basis = Basis::kVerified;
  // The first record's byte count, where its markers give it before it is
  // read: checked in full, or claimed by a count too long to check.
  std::optional<std::uint64_t> first_record_bytes;
};

// Reads the records of an unformatted sequential data file in order, through
// one buffer, joining subrecords. A record whose framing is damaged reads as
// kDamaged; a read the system refuses as kFailed. Nothing is read beyond what
// the caller's array can take. Whether a record is long enough is for the
// caller to say: the reader gives each record's length.
class RecordReader {
 public:
  static constexpr std::size_t kDefaultBufferSize =
      BufferedInput::kDefaultBufferSize;

  explicit RecordReader(InputFile& file,
                        std::size_t buffer_size = kDefaultBufferSize)
      : in_(file, buffer_size) {}

  // Decides the framing before the first read: the first of
  // record::kFramings under which the first non-empty record is checked in
  // full; else the first that cannot be ruled out; else the first. Records up
  // to that one are looked at ahead without moving: in a file of known size
  // as far as it takes; in a stream (a pipe, a device) no further than
  // `stream_lookahead` bytes and markers, by default the first-record limit.
  // A first record that cannot be checked so is open where its count is
  // within `first_record_limit` bytes, and rules its framing out if not.
  ReadStatus DetectFraming(
      std::uint64_t first_record_limit, FramingChoice* choice,
      std::optional<std::uint64_t> stream_lookahead = std::nullopt);

  // Values are value_size() bytes each (4 until set otherwise), handed over in
  // the host's byte order.
  void set_value_size(std::size_t size) { value_size_ = size; }
  std::size_t value_size() const { return value_size_; }

  // Takes the first min(capacity, bytes / value_size()) values of the next
  // record into values[], moves past the whole record and sets *bytes to its
  // byte count.
  ReadStatus ReadRecord(void* values, std::size_t capacity,
                        std::uint64_t* bytes);

  using PieceSink = record::PieceSink;

  // ReadRecord for a record too long to hold at once: its first `capacity`
  // values pass through window[0, window_values), and sink takes each piece.
  // Pieces of a record that turns out damaged have been handed over too.
  ReadStatus ReadRecordInPieces(void* window, std::size_t window_values,
                                std::size_t capacity, const PieceSink& sink,
                                std::uint64_t* bytes);

  // After a record read whole, takes up to `max` of the records right after
  // it that repeat it (record::Repeat: the same length), as far as they lie
  // in the buffer: the first `count` values of the k-th into
  // values[k * count, (k + 1) * count). Returns how many; 0 where the next
  // record is not such a repeat, or cannot be buffered whole.
  std::size_t ReadRepeats(void* values, std::size_t count, std::size_t max);

  // Walks the records from position() on by their markers alone, without
  // moving, and hands each whole record's byte count to `take` until it
  // returns false or a record is damaged or the file ends. False where the
  // file cannot be read at an offset or a read fails.
  bool WalkAhead(const std::function<bool(std::uint64_t bytes)>& take);

  // The offset in the file of the next byte to read.
  std::uint64_t position() const { return in_.position(); }
  // What is left of the file after position(); empty for a pipe.
  std::optional<std::uint64_t> BytesLeft() const { return in_.BytesLeft(); }

  // The last record that ReadRecord or ReadRecordInPieces came to: where it
  // starts, and, where it read whole, its subrecords.
  struct LastRecord {
    std::uint64_t offset = 0;
    std::size_t subrecords = 0;
  };
  const LastRecord& last_record() const { return last_; }

  const record::Framing& framing() const { return framing_; }
  int error() const { return in_.error(); }

 private:
  ReadStatus ReadThrough(void* window, std::size_t window_values,
                         std::size_t capacity, const PieceSink* sink,
                         std::uint64_t* bytes);

  BufferedInput in_;
  record::Framing framing_;
  std::size_t value_size_ = record::kValueSize;
  LastRecord last_;
  record::Repeat repeat_;  // of the last record read whole
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_RECORD_READER_H_
