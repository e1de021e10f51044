#include "matfile/matfile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "common/coding.h"
#include "common/run_error.h"
#include "common/widen_values.h"
#include "common/worker.h"
#include "io/replacement_file.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

// The fixed part of the file, in whole 8-byte records appended in order.
class RecordSink {
 public:
  explicit RecordSink(BufferedWriter& out) : out_(out) {}

  void Put(const char (&record)[mat::kRecordSize]) {
    out_.Append(record, sizeof record);
  }

  // A tag or data record of two 32-bit words.
  void PutWords(std::uint32_t first, std::uint32_t second) {
    char record[mat::kRecordSize];
    EncodeFixed32(record, first);
    EncodeFixed32(record + 4, second);
    Put(record);
  }

  // Bytes in whole records, the last padded with NUL bytes.
  void PutPadded(std::string_view bytes) {
    for (std::size_t k = 0; k < bytes.size(); k += mat::kRecordSize) {
      char record[mat::kRecordSize] = {};
      std::memcpy(record, bytes.data() + k,
                  std::min(mat::kRecordSize, bytes.size() - k));
      Put(record);
    }
  }

 private:
  BufferedWriter& out_;
};

void WriteHeader(RecordSink& sink) {
  // The text fills 15 records, blank-padded; its last 4 bytes share record
  // 16 with the version and the endian indicator.
  char header[mat::kHeaderTextSize + 4];
  std::memset(header, ' ', mat::kHeaderTextSize);
  std::memcpy(header, mat::kHeaderText.data(), mat::kHeaderText.size());
  EncodeFixed16(header + mat::kHeaderTextSize,
                static_cast<std::uint16_t>(mat::kVersion));
  std::memcpy(header + mat::kHeaderTextSize + 2, mat::kEndian.data(), 2);
  sink.PutPadded(std::string_view(header, sizeof header));
}

void WriteName(std::string_view name, RecordSink& sink) {
  if (name.size() <= mat::kShortNameMax) {
    char record[mat::kRecordSize] = {};
    EncodeFixed16(record, static_cast<std::uint16_t>(mat::kMiInt8));
    EncodeFixed16(record + 2, static_cast<std::uint16_t>(name.size()));
    std::memcpy(record + 4, name.data(), name.size());
    sink.Put(record);
  } else {
    sink.PutWords(mat::kMiInt8, static_cast<std::uint32_t>(name.size()));
    sink.PutPadded(name);
  }
}

// Writes n values of `element` at src (the host's byte order) as
// little-endian doubles at `offset`: straight from src where they are such
// doubles already, else through `encoded`, which stays in cache.
int WriteEncoded(ValueType element, const char* src, std::uint64_t n,
                 std::uint64_t offset, std::vector<double>& encoded,
                 BufferedWriter& out) {
  if (element == ValueType::kReal8 &&
      std::endian::native == std::endian::little) {
    return out.WriteAt(offset, src, 8 * n);
  }
  const std::size_t size = ValueSize(element);
  int error = 0;
  for (std::uint64_t k = 0; k < n && error == 0; k += encoded.size()) {
    const std::size_t m = static_cast<std::size_t>(
        std::min<std::uint64_t>(encoded.size(), n - k));
    EncodeDoubles(element, src + size * k, m, encoded.data());
    error = out.WriteAt(offset + 8 * k,
                        reinterpret_cast<const char*>(encoded.data()), 8 * m);
  }
  return error;
}

// Takes the pages of a new buffer now, rather than when it is first used.
void TouchPages(char* buffer, std::size_t bytes) {
  constexpr std::size_t kPage = 4096;
  for (std::size_t k = 0; k < bytes; k += kPage) buffer[k] = 0;
}

// The disk is started on what is written each time this much more is: in
// large batches, which it writes faster than small ones.
constexpr std::uint64_t kWritebackBytes = std::uint64_t{64} << 20;

// The values, tile by tile. Scattered writes of new pages into the file cost
// far more than scattered reads of cached ones, so tiles cover whole columns,
// each tile's values one run of the file, unless the rows are so many that
// too few columns fit: then bands of whole rows. Each tile is filled (read,
// swapped, put in column order) on this thread while the one before is made
// doubles and written on a second, and the disk starts on what is written as
// it goes. After a failed write no more tiles are filled.
void WriteValues(TileSource& source, std::uint64_t rows, std::uint64_t columns,
                 std::uint64_t start, std::size_t tile_bytes,
                 BufferedWriter& out) {
  const ValueType element = source.element();
  const std::size_t size = ValueSize(element);
  std::uint64_t tile_rows = rows;
  std::uint64_t tile_columns = columns;
  constexpr std::uint64_t kMinTileColumns = 64;
  // Fresh memory is dear on a cold machine: tiles of whole columns are as
  // large as keeps each row's piece to read at least kWidePieceBytes, other
  // tiles small.
  constexpr std::uint64_t kSmallTileBytes = std::uint64_t{2} << 20;
  constexpr std::uint64_t kWidePieceBytes = 4096;
  std::uint64_t capacity = std::clamp<std::uint64_t>(
      rows * columns, 1, std::max<std::uint64_t>(tile_bytes / size, 1));
  capacity = std::min<std::uint64_t>(
      capacity, rows <= capacity / kMinTileColumns
                    ? std::max(kSmallTileBytes, rows * kWidePieceBytes) / size
                    : kSmallTileBytes / size);
  capacity = std::max<std::uint64_t>(capacity, 1);
  if (rows * columns <= capacity) {
  } else if (rows <= capacity / kMinTileColumns) {
    tile_columns = capacity / rows;
  } else {
    tile_rows = std::max<std::uint64_t>(1, capacity / columns);
    tile_columns = std::min<std::uint64_t>(columns, capacity);
  }
  const bool one_tile = tile_rows == rows && tile_columns == columns;
  // Not in large pages: asking for them stalls the first touch while the
  // kernel compacts memory, which costs far more than the faults it saves.
  const std::unique_ptr<char[]> first(new char[size * capacity]);
  const std::unique_ptr<char[]> second(one_tile ? nullptr
                                                : new char[size * capacity]);
  constexpr std::size_t kEncodedValues = std::size_t{1} << 17;  // 1 MiB
  std::vector<double> encoded(static_cast<std::size_t>(
      std::min<std::uint64_t>(kEncodedValues, capacity)));
  std::uint64_t unstarted = 0;  // bytes written the disk is not yet on
  // Declared after the buffers: it ends, and waits, before they go.
  Worker writer;
  if (second) {
    // The second buffer's fresh pages are taken while the first is filled.
    writer.Run([&] {
      TouchPages(second.get(), size * capacity);
      return 0;
    });
  }
  std::uint64_t count = 0;
  for (std::uint64_t r0 = 0; r0 < rows; r0 += tile_rows) {
    const std::size_t tr = std::min(tile_rows, rows - r0);
    for (std::uint64_t c0 = 0; c0 < columns; c0 += tile_columns) {
      const std::size_t tc = std::min(tile_columns, columns - c0);
      if (writer.failed()) return;
      // The write of two tiles ago, from this buffer, has ended.
      char* staging = count++ % 2 == 0 ? first.get() : second.get();
      const char* values = source.Fill(r0, tr, c0, tc, staging);
      writer.Run([=, &out, &encoded, &unstarted] {
        int error = 0;
        if (tr == rows) {
          // Whole columns: one run of the file.
          error = WriteEncoded(element, values, tc * rows,
                               start + 8 * c0 * rows, encoded, out);
        } else {
          for (std::size_t c = 0; c < tc && error == 0; ++c) {
            error =
                WriteEncoded(element, values + size * c * tr, tr,
                             start + 8 * ((c0 + c) * rows + r0), encoded, out);
          }
        }
        unstarted += 8 * std::uint64_t{tr} * tc;
        if (unstarted >= kWritebackBytes) {
          out.StartWriteback(start, 0);
          unstarted = 0;
        }
        return error;
      });
    }
  }
  writer.Wait();
}

}  // namespace

std::uint64_t WriteLevel5(const MatVariable& variable, BufferedWriter& out,
                          std::size_t tile_bytes) {
  const std::uint64_t values = variable.rows * variable.columns;
  const std::uint64_t element_size =
      mat::MatrixElementBytes(variable.name.size(), values);
  // Loading keeps within this; past it the size fields would wrap.
  if (element_size > mat::kMaxElementBytes) {
    throw RunError("a matrix of " + std::to_string(values) +
                   " values is over the limit of a MAT-file element");
  }
  const std::uint64_t start = out.position();
  RecordSink sink(out);
  WriteHeader(sink);
  sink.PutWords(mat::kMiMatrix, static_cast<std::uint32_t>(element_size));
  sink.PutWords(mat::kMiUint32, 8);
  sink.PutWords(mat::kMxDoubleClass, 0);
  sink.PutWords(mat::kMiInt32, 8);
  sink.PutWords(static_cast<std::uint32_t>(variable.rows),
                static_cast<std::uint32_t>(variable.columns));
  WriteName(variable.name, sink);
  sink.PutWords(mat::kMiDouble, static_cast<std::uint32_t>(8 * values));
  if (values > 0) {
    WriteValues(*variable.values, variable.rows, variable.columns,
                out.position(),
                std::min(tile_bytes, variable.values->tile_bytes()), out);
  }
  return (out.position() - start) / mat::kRecordSize + values;
}

std::uint64_t WriteMatFile(const std::string& path,
                           const MatVariable& variable) {
  ReplacementFile file;
  if (int error = file.Create(path); error != 0) {
    throw RunError(FileError("cannot create MAT-file", path, error));
  }
  BufferedWriter out(file.file());
  const std::uint64_t records = WriteLevel5(variable, out);
  int error = out.Flush();
  if (error == 0) error = file.Commit();
  if (error != 0 && file.replaced()) {
    // The new file is whole and in place; removing it now would lose both.
    throw RunError("MAT-file " + Quote(path) +
                   " is written, but its directory could not be synced, so a "
                   "power loss may undo the replacement: " +
                   std::strerror(error));
  }
  if (error != 0) {
    throw RunError(FileError("cannot write MAT-file", path, error));
  }
  return records;
}

}  // namespace unf2mat
