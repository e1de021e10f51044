#ifndef UNF2MAT_RECORDIO_RECORD_READER_H_
#define UNF2MAT_RECORDIO_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "recordio/file.h"
#include "recordio/read_status.h"
#include "recordio/record_format.h"

namespace unf2mat {

// Reads the records of an unformatted sequential data file in order, through
// one buffer, joining subrecords. A record whose framing is damaged (a count
// that runs past the end of the file, trailing and leading counts that
// differ, a file that ends inside a count) reads as kShort. Nothing is read
// beyond what the caller's array can take.
class RecordReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit RecordReader(InputFile& file,
                        std::size_t buffer_size = kDefaultBufferSize)
      : file_(file),
        buffer_(buffer_size < record::kLongMarkerSize ? record::kLongMarkerSize
                                                      : buffer_size) {}

  // Decides the framing before the first read: the first of
  // record::kFramings under which the first record's markers agree and fit
  // in the file (after an empty first record, the next ones too); the first
  // of them when none does. A file that cannot be read
  // at an offset (a pipe) is checked only as far as the buffer reaches, and a
  // framing that cannot be ruled out there is taken. *first_record_bytes gets
  // the first record's byte count when it was checked in full.
  ReadStatus DetectFraming(std::optional<std::uint64_t>* first_record_bytes);

  // Takes the first min(capacity, bytes / 4) values of the next record into
  // values[], moves past the whole record and sets *bytes to its byte count.
  ReadStatus ReadRecord(float* values, std::size_t capacity,
                        std::uint64_t* bytes);

  // Receives a record's values piece by piece: n values, which start `offset`
  // values into the record, held at the start of the window.
  using PieceSink = std::function<void(std::size_t offset, std::size_t n)>;

  // ReadRecord for a record too long to hold at once: its first `capacity`
  // values pass through window[0, window_values), and sink takes each piece.
  // Pieces of a record that turns out damaged have been handed over too.
  ReadStatus ReadRecordInPieces(float* window, std::size_t window_values,
                                std::size_t capacity, const PieceSink& sink,
                                std::uint64_t* bytes);

  // Takes the next record's first `count` values; kShort when it holds fewer.
  ReadStatus ReadValues(float* values, std::size_t count);

  // ReadValues for up to max_records records in a row, the values of record k
  // going to values[k * count, (k + 1) * count). Returns how many were read;
  // *status is kOk when all were, else the outcome of the record that ended
  // it. Records that lie whole in the buffer are taken without a call each.
  std::size_t ReadRows(float* values, std::size_t count,
                       std::size_t max_records, ReadStatus* status);

  // The offset in the file of the next byte to read.
  std::uint64_t position() const;
  // What is left of the file after position(); empty where the size is not
  // known (a pipe).
  std::optional<std::uint64_t> BytesLeft() const;
  // How many records after position() ReadValues(count) would take, at most
  // max_records, found from their markers alone; empty where the file cannot
  // be read at an offset, or a read fails.
  std::optional<std::uint64_t> CountRecordsAhead(std::size_t count,
                                                 std::uint64_t max_records);

  const record::Framing& framing() const { return framing_; }
  int error() const { return error_; }

 private:
  enum class Check { kFits, kDamaged, kUnknown, kFailed };

  ReadStatus ReadRecordThrough(float* window, std::size_t window_values,
                               std::size_t capacity, const PieceSink* sink,
                               std::uint64_t* bytes);

  // Checks the markers of the record at *offset and moves past it.
  Check RecordFits(const record::Framing& framing, std::uint64_t* offset,
                   std::uint64_t* bytes);
  Check FirstRecordFits(const record::Framing& framing, std::uint64_t* bytes);
  // Reads n (at most 8) bytes at `offset` without moving, from the buffer or
  // the window ahead.
  Check ReadAhead(std::uint64_t offset, char* dst, std::size_t n);
  bool FillBuffer();
  // Reads up to n bytes, fewer only at the end or on failure (error_ set).
  std::size_t ReadUpTo(char* dst, std::size_t n);
  bool Skip(std::uint64_t n);

  static constexpr std::size_t kAheadSize = std::size_t{1} << 16;

  InputFile& file_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t file_pos_ = 0;  // where the file's own reads have got to
  // A window of the file beyond the buffer, for reading markers ahead.
  std::vector<char> ahead_;
  std::uint64_t ahead_start_ = 0;
  std::size_t ahead_len_ = 0;
  bool buffer_holds_end_ = false;
  int error_ = 0;
  record::Framing framing_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_RECORD_READER_H_
