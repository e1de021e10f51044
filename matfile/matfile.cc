#include "matfile/matfile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
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
// little-endian values of `mat_class` at `offset`: straight from src where
// they are such values already, else through `encoded`, which stays in cache.
int WriteEncoded(ValueType element, MatClass mat_class, const char* src,
                 std::uint64_t n, std::uint64_t offset,
                 std::vector<double>& encoded, BufferedWriter& out) {
  const std::size_t size = ValueSize(element);
  const bool own_class = mat_class == NativeClass(element);
  if (!own_class && mat_class != MatClass::kDouble) {
    throw std::logic_error("values of " + std::string(ValueTypeName(element)) +
                           " cannot be written as class " +
                           std::string(ClassName(mat_class)));
  }
  if (own_class && std::endian::native == std::endian::little) {
    return out.WriteAt(offset, src, size * n);
  }
  const std::size_t out_size = ClassSize(mat_class);
  const std::size_t per_buffer = 8 * encoded.size() / out_size;
  char* buffer = reinterpret_cast<char*>(encoded.data());
  int error = 0;
  for (std::uint64_t k = 0; k < n && error == 0; k += per_buffer) {
    const std::size_t m =
        static_cast<std::size_t>(std::min<std::uint64_t>(per_buffer, n - k));
    if (own_class) {
      for (std::size_t v = 0; v < m; ++v) {
        std::reverse_copy(src + size * (k + v), src + size * (k + v + 1),
                          buffer + size * v);
      }
    } else {
      EncodeDoubles(element, src + size * k, m, encoded.data());
    }
    error = out.WriteAt(offset + out_size * k, buffer, out_size * m);
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
void WriteValues(TileSource& source, MatClass mat_class, std::uint64_t rows,
                 std::uint64_t columns, std::uint64_t start,
                 std::size_t tile_bytes, BufferedWriter& out) {
  const ValueType element = source.element();
  const std::size_t size = ValueSize(element);
  const std::size_t out_size = ClassSize(mat_class);
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
          error = WriteEncoded(element, mat_class, values, tc * rows,
                               start + out_size * c0 * rows, encoded, out);
        } else {
          for (std::size_t c = 0; c < tc && error == 0; ++c) {
            error = WriteEncoded(element, mat_class, values + size * c * tr, tr,
                                 start + out_size * ((c0 + c) * rows + r0),
                                 encoded, out);
          }
        }
        unstarted += out_size * std::uint64_t{tr} * tc;
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

namespace {

struct ClassTypes {
  std::int32_t mx;  // in the array flags
  std::int32_t mi;  // of the real part
};

ClassTypes TypesOf(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return {mat::kMxSingleClass, mat::kMiSingle};
    case MatClass::kInt32:
      return {mat::kMxInt32Class, mat::kMiInt32};
    case MatClass::kInt64:
      return {mat::kMxInt64Class, mat::kMiInt64};
    case MatClass::kDouble:
      break;
  }
  return {mat::kMxDoubleClass, mat::kMiDouble};
}

std::vector<std::uint64_t> DimsOf(const MatVariable& variable) {
  if (variable.dims.empty()) return {variable.rows, variable.columns};
  return variable.dims;
}

std::uint64_t ElementSize(const MatVariable& variable) {
  const std::uint64_t values = variable.rows * variable.columns;
  return mat::ElementBytes(variable.name.size(), DimsOf(variable).size(),
                           ClassSize(variable.mat_class) * values);
}

void WriteElement(const MatVariable& variable, RecordSink& sink,
                  std::size_t tile_bytes, BufferedWriter& out) {
  const std::uint64_t values = variable.rows * variable.columns;
  const ClassTypes types = TypesOf(variable.mat_class);
  const std::vector<std::uint64_t> dims = DimsOf(variable);
  sink.PutWords(mat::kMiMatrix,
                static_cast<std::uint32_t>(ElementSize(variable)));
  sink.PutWords(mat::kMiUint32, 8);
  sink.PutWords(static_cast<std::uint32_t>(types.mx), 0);
  sink.PutWords(mat::kMiInt32, static_cast<std::uint32_t>(4 * dims.size()));
  std::string dim_bytes(4 * dims.size(), '\0');
  for (std::size_t k = 0; k < dims.size(); ++k) {
    EncodeFixed32(dim_bytes.data() + 4 * k,
                  static_cast<std::uint32_t>(dims[k]));
  }
  sink.PutPadded(dim_bytes);
  WriteName(variable.name, sink);
  const std::uint64_t value_bytes = ClassSize(variable.mat_class) * values;
  sink.PutWords(static_cast<std::uint32_t>(types.mi),
                static_cast<std::uint32_t>(value_bytes));
  if (values == 0) return;
  const std::uint64_t start = out.position();
  WriteValues(*variable.values, variable.mat_class, variable.rows,
              variable.columns, start,
              std::min(tile_bytes, variable.values->tile_bytes()), out);
  out.MoveTo(start + value_bytes);
  constexpr char kZeros[mat::kRecordSize] = {};
  out.Append(kZeros, mat::Padded(value_bytes) - value_bytes);
}

}  // namespace

std::uint64_t WriteLevel5(std::span<const MatVariable> variables,
                          BufferedWriter& out, std::size_t tile_bytes) {
  // Loading keeps within this; past it the size fields would wrap.
  for (const MatVariable& variable : variables) {
    if (ElementSize(variable) > mat::kMaxElementBytes) {
      throw RunError("a matrix of " +
                     std::to_string(variable.rows * variable.columns) +
                     " values is over the limit of a MAT-file element");
    }
    for (std::uint64_t dim : DimsOf(variable)) {
      if (dim > mat::kMaxDimension) {
        throw RunError("a dimension of " + std::to_string(dim) +
                       " is over the limit of a MAT-file array");
      }
    }
  }
  const std::uint64_t start = out.position();
  RecordSink sink(out);
  WriteHeader(sink);
  for (const MatVariable& variable : variables) {
    WriteElement(variable, sink, tile_bytes, out);
  }
  return (out.position() - start) / mat::kRecordSize;
}

std::uint64_t WriteMatFile(const std::string& path,
                           std::span<const MatVariable> variables) {
  ReplacementFile file;
  if (int error = file.Create(path); error != 0) {
    throw RunError(FileError("cannot create MAT-file", path, error));
  }
  BufferedWriter out(file.file());
  const std::uint64_t records = WriteLevel5(variables, out);
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
