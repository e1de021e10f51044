#include "matfile/value_loop.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/widen_values.h"
#include "common/worker.h"

namespace unf2mat {
namespace {

// How values of the source's type become values of the array's class.
enum class Encoding : std::uint8_t {
  kAsTheyAre,  // the class is their own, and the host little-endian
  kSwapped,    // the class is their own, each value's bytes reversed
  kLogical,    // 4 bytes, any of them non-zero, made one byte: 1, else 0
  kChar,       // a byte made a little-endian UTF-16 unit (its Latin-1 code)
  kDouble      // widened
};

Encoding EncodingOf(ValueType element, MatClass mat_class) {
  if (mat_class == NativeClass(element)) {
    if (mat_class == MatClass::kLogical) return Encoding::kLogical;
    if (mat_class == MatClass::kChar) return Encoding::kChar;
    return std::endian::native == std::endian::little ? Encoding::kAsTheyAre
                                                      : Encoding::kSwapped;
  }
  if (mat_class != MatClass::kDouble) {
    throw std::logic_error("values of " + std::string(ValueTypeName(element)) +
                           " cannot be written as class " +
                           std::string(ClassName(mat_class)));
  }
  return Encoding::kDouble;
}

void EncodeLogicals(const char* src, std::size_t n, char* dst) {
  for (std::size_t k = 0; k < n; ++k) {
    std::uint32_t bits;
    std::memcpy(&bits, src + 4 * k, sizeof bits);
    dst[k] = bits != 0 ? 1 : 0;
  }
}

void EncodeChars(const char* src, std::size_t n, char* dst) {
  for (std::size_t k = 0; k < n; ++k) {
    dst[2 * k] = src[k];
    dst[2 * k + 1] = 0;
  }
}

// Makes `values` values of `element` at `from` (the host's byte order) the
// little-endian values of the array's class at `to`.
void Encode(Encoding encoding, ValueType element, const char* from,
            std::size_t values, char* to) {
  const std::size_t size = ValueSize(element);
  switch (encoding) {
    case Encoding::kAsTheyAre:
      std::memcpy(to, from, size * values);
      break;
    case Encoding::kSwapped:
      for (std::size_t v = 0; v < values; ++v) {
        std::reverse_copy(from + size * v, from + size * (v + 1),
                          to + size * v);
      }
      break;
    case Encoding::kLogical:
      EncodeLogicals(from, values, to);
      break;
    case Encoding::kChar:
      EncodeChars(from, values, to);
      break;
    case Encoding::kDouble:
      EncodeDoubles(element, from, values, reinterpret_cast<double*>(to));
      break;
  }
}

// Hands n of the array's values, each `parts` values of `element` at src (the
// host's byte order), to `sink` as little-endian values of `mat_class`, the
// first the array's value `index`: straight from src where they are such
// values already, else through `encoded`, which stays in cache.
int WriteEncoded(Encoding encoding, ValueType element, MatClass mat_class,
                 std::size_t parts, const char* src, std::uint64_t n,
                 std::uint64_t index, std::vector<double>& encoded,
                 ValueSink& sink) {
  if (encoding == Encoding::kAsTheyAre) return sink.Put(index, src, n);
  const std::size_t size = ValueSize(element);
  const std::size_t per_buffer =
      8 * encoded.size() / (parts * ClassSize(mat_class));
  char* buffer = reinterpret_cast<char*>(encoded.data());
  int error = 0;
  for (std::uint64_t k = 0; k < n && error == 0; k += per_buffer) {
    const std::size_t m =
        static_cast<std::size_t>(std::min<std::uint64_t>(per_buffer, n - k));
    Encode(encoding, element, src + parts * size * k, parts * m, buffer);
    error = sink.Put(index + k, buffer, m);
  }
  return error;
}

// Takes the pages of a new buffer now, rather than when it is first used.
void TouchPages(char* buffer, std::size_t bytes) {
  constexpr std::size_t kPage = 4096;
  for (std::size_t k = 0; k < bytes; k += kPage) buffer[k] = 0;
}

// Tiles whose values encoded make no more than this are encoded on the
// thread that reads them.
constexpr std::uint64_t kEncodeHereBytes = std::uint64_t{1} << 20;

// The disk is started on what is written each time this much more is: in
// large batches, which it writes faster than small ones.
constexpr std::uint64_t kWritebackBytes = std::uint64_t{64} << 20;

// Where each tile of `width` columns begins, and past the last. Of a few
// large tiles, the first and the last are a quarter as wide: nothing is
// written until the first is filled, and after the last is read nothing
// but its write is left.
std::vector<std::uint64_t> ColumnStarts(std::uint64_t columns,
                                        std::uint64_t width) {
  std::vector<std::uint64_t> starts;
  const std::uint64_t quarter = width / 4;
  const bool ramp = quarter > 0 && columns > 2 * width;
  std::uint64_t c0 = 0;
  if (ramp) {
    starts.push_back(0);
    c0 = quarter;
  }
  for (; c0 < columns; c0 += width) {
    if (ramp && columns - c0 <= width + quarter && columns - c0 > quarter) {
      // The rest as one tile and a last quarter one.
      starts.push_back(c0);
      c0 = columns - quarter;
    }
    starts.push_back(c0);
  }
  starts.push_back(columns);
  return starts;
}

}  // namespace

TileShape PlanTiles(std::uint64_t rows, std::uint64_t columns, std::size_t size,
                    std::size_t tile_bytes, bool column_runs) {
  std::uint64_t tile_rows = rows;
  std::uint64_t tile_columns = columns;
  constexpr std::uint64_t kMinTileColumns = 64;
  // Fresh memory is dear on a cold machine: tiles of whole columns are as
  // large as keeps each row's piece to read at least kWidePieceBytes, other
  // tiles small.
  constexpr std::uint64_t kSmallTileBytes = std::uint64_t{2} << 20;
  constexpr std::uint64_t kWidePieceBytes = 4096;
  const std::uint64_t most = std::max<std::uint64_t>(tile_bytes / size, 1);
  std::uint64_t capacity = std::clamp<std::uint64_t>(rows * columns, 1, most);
  if (column_runs && rows <= most) {
    // Each column is read in one piece and written in one run: as few
    // columns a tile as make the small tile, and one at the least.
    capacity = std::max<std::uint64_t>(
        std::min(capacity, std::max(kSmallTileBytes / size, rows)), 1);
    if (rows * columns > capacity) {
      tile_columns = std::max<std::uint64_t>(1, capacity / rows);
    }
    return {tile_rows, tile_columns, capacity};
  }
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
  return {tile_rows, tile_columns, capacity};
}

// Scattered writes of new pages into the file cost far more than scattered
// reads of cached ones, so tiles cover whole columns, each tile's values one
// run of the file, unless the rows are so many that too few columns fit:
// then bands of whole rows. Each tile is filled (read, swapped, put in column
// order) on this thread while the one before is written on a second, which
// makes it doubles first unless it was small enough to be made so here; the
// disk starts on what is written as it goes. After a failed write no more
// tiles are filled.
void WriteValues(TileSource& source, MatClass mat_class, std::uint64_t rows,
                 std::uint64_t columns, std::size_t tile_bytes, ValueSink& sink,
                 std::size_t parts) {
  const ValueType element = source.element();
  const Encoding encoding = EncodingOf(element, mat_class);
  // Bytes of one of the array's values, all its parts, as read and written.
  const std::size_t size = parts * ValueSize(element);
  const std::size_t out_size = parts * ClassSize(mat_class);
  // Named copies, not a structured binding: lambdas below take them.
  const TileShape shape =
      PlanTiles(rows, columns, size, tile_bytes, source.column_runs());
  const std::uint64_t tile_rows = shape.rows, tile_columns = shape.columns;
  // A tile of one long column that is one run of the source is read in
  // pieces small enough to encode on this thread, which still come in the
  // array's order.
  const bool pieces = encoding != Encoding::kAsTheyAre &&
                      source.column_runs() && tile_columns == 1 &&
                      out_size * tile_rows > kEncodeHereBytes;
  const std::uint64_t piece_rows =
      pieces ? std::max<std::uint64_t>(kEncodeHereBytes / out_size, 1)
             : tile_rows;
  const std::uint64_t capacity = pieces ? piece_rows : shape.capacity;
  const bool one_tile = piece_rows == rows && tile_columns == columns;
  // Where a tile's values encoded are few, this thread encodes them as it
  // reads them, and the writing thread, the longer one, only copies them.
  const bool encode_here = encoding != Encoding::kAsTheyAre &&
                           out_size * capacity <= kEncodeHereBytes;
  const std::size_t written_size = encode_here ? out_size : size;
  const Encoding left_to_encode = encode_here ? Encoding::kAsTheyAre : encoding;
  // Not in large pages: asking for them stalls the first touch while the
  // kernel compacts memory, which costs far more than the faults it saves.
  // The two buffers the writing thread takes tiles from, and where tiles
  // are read before this thread encodes them.
  const std::unique_ptr<char[]> first(new char[written_size * capacity]);
  const std::unique_ptr<char[]> second(
      one_tile ? nullptr : new char[written_size * capacity]);
  const std::unique_ptr<char[]> read(encode_here ? new char[size * capacity]
                                                 : nullptr);
  constexpr std::size_t kEncodedValues = std::size_t{1} << 17;  // 1 MiB
  std::vector<double> encoded(
      encode_here ? 0
                  : static_cast<std::size_t>(std::min<std::uint64_t>(
                        kEncodedValues, parts * capacity)));
  std::uint64_t unstarted = 0;  // bytes written the disk is not yet on
  // Declared after the buffers: it ends, and waits, before they go.
  Worker writer;
  if (second) {
    // The second buffer's fresh pages are taken while the first is filled.
    writer.Run([&] {
      TouchPages(second.get(), written_size * capacity);
      return 0;
    });
  }
  const std::vector<std::uint64_t> column_starts =
      ColumnStarts(columns, tile_columns);
  std::uint64_t count = 0;
  for (std::uint64_t r0 = 0; r0 < rows; r0 += tile_rows) {
    const std::uint64_t band_end = std::min(r0 + tile_rows, rows);
    for (std::size_t t = 0; t + 1 < column_starts.size(); ++t) {
      const std::uint64_t c0 = column_starts[t];
      const std::size_t tc = column_starts[t + 1] - c0;
      for (std::uint64_t p0 = r0; p0 < band_end; p0 += piece_rows) {
        const std::size_t tr = std::min(piece_rows, band_end - p0);
        if (writer.failed()) return;
        // The write of two tiles ago, from this buffer, has ended.
        char* staging = count++ % 2 == 0 ? first.get() : second.get();
        const char* values = source.Fill(parts * p0, parts * tr, c0, tc,
                                         encode_here ? read.get() : staging);
        if (encode_here) {
          Encode(encoding, element, values, parts * tr * tc, staging);
          values = staging;
        }
        writer.Run([=, &sink, &encoded, &unstarted] {
          int error = 0;
          if (tr == rows) {
            // Whole columns: one run of the file.
            error = WriteEncoded(left_to_encode, element, mat_class, parts,
                                 values, tc * rows, c0 * rows, encoded, sink);
          } else {
            for (std::size_t c = 0; c < tc && error == 0; ++c) {
              error = WriteEncoded(left_to_encode, element, mat_class, parts,
                                   values + written_size * c * tr, tr,
                                   (c0 + c) * rows + p0, encoded, sink);
            }
          }
          unstarted += out_size * std::uint64_t{tr} * tc;
          if (unstarted >= kWritebackBytes) {
            sink.Flow();
            unstarted = 0;
          }
          return error;
        });
      }
    }
  }
  writer.Wait();
}

}  // namespace unf2mat
