#include "matfile/matfile.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "matfile/mat_format.h"
#include "common/coding.h"
#include "io/memory_advice.h"
#include "matfile/write_behind.h"
#include "io/replacement_file.h"

namespace unf2mat {
namespace {

// Records are written in order from 1, so appending puts record n at byte
// offset (n-1)*8.
class RecordSink {
 public:
  RecordSink(RunState& state, BufferedWriter& out) : state_(state), out_(out) {}

  void Put(const char (&record)[mat::kRecordSize]) {
    state_.irec += 1;
    out_.Append(record, sizeof record);
  }

  // A tag or data record of two 32-bit words, taken from yy1 and yy2.
  void PutWords(std::int32_t first, std::int32_t second) {
    state_.yy1 = first;
    state_.yy2 = second;
    char record[mat::kRecordSize];
    EncodeFixed32(record, static_cast<std::uint32_t>(state_.yy1));
    EncodeFixed32(record + 4, static_cast<std::uint32_t>(state_.yy2));
    Put(record);
  }

  // Text in whole records.
  void PutText(const char* text, std::size_t records) {
    for (std::size_t k = 0; k < records; ++k) {
      char record[mat::kRecordSize];
      std::memcpy(record, text + k * mat::kRecordSize, mat::kRecordSize);
      Put(record);
    }
  }

 private:
  RunState& state_;
  BufferedWriter& out_;
};

void WriteHeader(RunState& state, RecordSink& sink) {
  // The text fills 15 records; its last 4 bytes share record 16 with the
  // version and the endian indicator.
  constexpr std::size_t kTextRecords = mat::kHeaderTextSize / mat::kRecordSize;
  constexpr std::size_t kTextDone = kTextRecords * mat::kRecordSize;
  Assign(state.header, mat::kHeaderText);
  sink.PutText(state.header.data(), kTextRecords);
  state.version = mat::kVersion;
  Assign(state.endian, mat::kEndian);
  char record[mat::kRecordSize];
  std::memcpy(record, state.header.data() + kTextDone,
              mat::kHeaderTextSize - kTextDone);
  EncodeFixed16(record + 4, static_cast<std::uint16_t>(state.version));
  std::memcpy(record + 6, state.endian.data(), 2);
  sink.Put(record);
}

void WriteName(RunState& state, RecordSink& sink) {
  if (state.n1 <= mat::kShortNameMax) {
    state.y1 = static_cast<std::int16_t>(state.n1);
    state.y2 = static_cast<std::int16_t>(mat::kMiInt8);
    char record[mat::kRecordSize] = {};
    EncodeFixed16(record, static_cast<std::uint16_t>(state.y2));
    EncodeFixed16(record + 2, static_cast<std::uint16_t>(state.y1));
    std::memcpy(record + 4, state.fname2.data(), state.n1);
    sink.Put(record);
  } else {
    sink.PutWords(mat::kMiInt8, state.n1);
    sink.PutText(state.fname2.data(), state.n2 / mat::kRecordSize);
  }
}

constexpr std::size_t kDoublesPerLine = 8;  // in a 64-byte cache line

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Copies rows [r0, r0 + tr) of columns [c0, c0 + tc) of the row-major matrix
// into `staging`, column after column, in blocks small enough that both the
// rows read and the columns written stay in cache.
void TransposeTile(const double* matrix, std::size_t columns, std::size_t r0,
                   std::size_t tr, std::size_t c0, std::size_t tc,
                   char* staging) {
  constexpr std::size_t kBlock = 32;
  for (std::size_t rb = 0; rb < tr; rb += kBlock) {
    const std::size_t r_end = std::min(rb + kBlock, tr);
    for (std::size_t cb = 0; cb < tc; cb += kBlock) {
      const std::size_t c_end = std::min(cb + kBlock, tc);
      // Along each row, so that core is read in cache lines.
      for (std::size_t r = rb; r < r_end; ++r) {
        const double* src = matrix + (r0 + r) * columns + c0;
        // Rows lie far apart in core; asking for the block below early hides
        // most of the wait for memory.
        if (r + kBlock < tr) {
          for (std::size_t c = cb; c < c_end; c += kDoublesPerLine) {
            Prefetch(src + kBlock * columns + c);
          }
        }
        for (std::size_t c = cb; c < c_end; ++c) {
          EncodeDouble(staging + 8 * (c * tr + r), src[c]);
        }
      }
    }
  }
}

// Writes a vector, which is in the same order either way: straight from
// core where the host's doubles are the file's.
void WriteVector(const double* values, std::size_t n, std::uint64_t start,
                 std::vector<char>& staging, BufferedWriter& out) {
  const std::size_t capacity = staging.size() / 8;
  for (std::size_t k = 0; k < n; k += capacity) {
    const std::size_t piece = std::min(capacity, n - k);
    const char* bytes = reinterpret_cast<const char*>(values + k);
    if constexpr (std::endian::native != std::endian::little) {
      for (std::size_t j = 0; j < piece; ++j) {
        EncodeDouble(staging.data() + 8 * j, values[k + j]);
      }
      bytes = staging.data();
    }
    out.WriteAt(start + 8 * k, bytes, 8 * piece);
    ReleaseMemory(values, values + k + piece);
  }
}

// Bands of rows are written one after another, each in tiles of columns; a
// tile's piece of each column goes straight to its place in the file. Pieces
// of at least kMinPieceRows values keep the writes large and few; a matrix of
// fewer rows is written in tiles of whole columns, each one piece of the file.
void WriteMatrix(const double* matrix, std::size_t rows, std::size_t columns,
                 std::uint64_t start, std::vector<char>& staging,
                 BufferedWriter& out) {
  constexpr std::size_t kMinPieceRows = std::size_t{1} << 15;  // 256 KiB
  const std::size_t capacity = staging.size() / 8;
  const std::size_t band_rows = std::min(
      rows, std::max({kMinPieceRows, capacity / columns, std::size_t{1}}));
  const std::size_t tile_columns =
      std::max<std::size_t>(1, std::min(columns, capacity / band_rows));
  const std::size_t tile_rows = std::min(band_rows, capacity / tile_columns);
  // Long rows are given back piece by piece, the rest a band at a time.
  const bool release_rows = columns * 8 >= 2 * kLargePageSize;
  for (std::size_t r0 = 0; r0 < rows; r0 += tile_rows) {
    const std::size_t tr = std::min(tile_rows, rows - r0);
    for (std::size_t c0 = 0; c0 < columns; c0 += tile_columns) {
      const std::size_t tc = std::min(tile_columns, columns - c0);
      TransposeTile(matrix, columns, r0, tr, c0, tc, staging.data());
      if (tr == rows) {
        out.WriteAt(start + 8 * c0 * rows, staging.data(), 8 * tc * rows);
      } else {
        for (std::size_t c = 0; c < tc; ++c) {
          out.WriteAt(start + 8 * ((c0 + c) * rows + r0),
                      staging.data() + 8 * c * tr, 8 * tr);
        }
      }
      for (std::size_t r = r0; release_rows && r < r0 + tr; ++r) {
        const double* row = matrix + r * columns;
        const char* done_from = LargePageStart(row + c0);
        ReleaseMemory(std::max(done_from, reinterpret_cast<const char*>(row)),
                      row + c0 + tc);
      }
    }
    // Everything before the band's end is written.
    const double* band = matrix + r0 * columns;
    ReleaseMemory(
        std::max(LargePageStart(band), reinterpret_cast<const char*>(matrix)),
        band + tr * columns);
  }
}

// Tiles read from the data file. Scattered writes of new pages into the
// file cost far more than scattered reads of cached ones, so tiles cover
// whole columns, each tile one write, unless the rows are so many that too
// few columns fit: then bands of whole rows. Each tile is written on a
// thread of its own while the next one is filled, in a second buffer.
void WriteTiles(MatrixTiles& tiles, std::uint64_t rows, std::uint64_t columns,
                std::uint64_t start, std::size_t capacity,
                BufferedWriter& out) {
  std::uint64_t tile_rows = rows;
  std::uint64_t tile_columns = columns;
  constexpr std::uint64_t kMinTileColumns = 64;
  // Fresh memory is dear on a cold machine: tiles of whole columns are as
  // large as keeps each row's piece to read at least kWideTileColumns values,
  // other tiles small.
  constexpr std::uint64_t kSmallTileValues = std::uint64_t{1} << 20;
  constexpr std::uint64_t kWideTileColumns = 512;
  capacity = static_cast<std::size_t>(std::min<std::uint64_t>(
      capacity,
      rows <= capacity / kMinTileColumns
          ? std::max(kSmallTileValues, rows * kWideTileColumns)
          : kSmallTileValues));
  if (rows * columns <= capacity) {
  } else if (rows <= capacity / kMinTileColumns) {
    tile_columns = capacity / rows;
  } else {
    tile_rows = std::max<std::uint64_t>(1, capacity / columns);
  }
  const bool one_tile = tile_rows == rows && tile_columns == columns;
  // Not in large pages: asking for them stalls the first touch while the
  // kernel compacts memory, which costs far more than the faults it saves.
  const std::unique_ptr<char[]> first(new char[8 * capacity]);
  const std::unique_ptr<char[]> second(one_tile ? nullptr
                                                : new char[8 * capacity]);
  // Declared after the buffers: it ends, and waits, before they go.
  WriteBehind writer;
  std::uint64_t tile = 0;
  for (std::uint64_t r0 = 0; r0 < rows; r0 += tile_rows) {
    const std::size_t tr = std::min(tile_rows, rows - r0);
    for (std::uint64_t c0 = 0; c0 < columns; c0 += tile_columns) {
      const std::size_t tc = std::min(tile_columns, columns - c0);
      // The write of two tiles ago, from this buffer, has ended.
      char* staging = tile++ % 2 == 0 ? first.get() : second.get();
      tiles.Fill(r0, tr, c0, tc, staging);
      writer.Run([=, &out] {
        if (tr == rows) {
          out.WriteAt(start + 8 * c0 * rows, staging, 8 * tc * rows);
          return;
        }
        for (std::size_t c = 0; c < tc; ++c) {
          out.WriteAt(start + 8 * ((c0 + c) * rows + r0),
                      staging + 8 * c * tr, 8 * tr);
        }
      });
    }
  }
  writer.Wait();
}

// Core holds the records end to end (row-major); the file wants the matrix
// column by column. Each value of core is read once, and core is given back
// as it is written so that the file's pages can reuse it.
void WriteValues(RunState& state, BufferedWriter& out,
                 std::size_t staging_values) {
  const std::size_t rows = static_cast<std::size_t>(state.icol);
  const std::size_t columns = static_cast<std::size_t>(state.irow);
  const std::size_t values = rows * columns;
  const std::size_t capacity = std::clamp<std::size_t>(
      values, 1, std::max<std::size_t>(staging_values, 1));
  if (values > 0 && state.tiles != nullptr) {
    WriteTiles(*state.tiles, rows, columns, out.position(), capacity, out);
  } else if (values > 0) {
    std::vector<char> staging(8 * capacity);
    if (rows == 1 || columns == 1) {
      WriteVector(state.core, values, out.position(), staging, out);
    } else {
      WriteMatrix(state.core, rows, columns, out.position(), staging, out);
    }
  }
  state.irec += static_cast<std::int32_t>(values);
}

}  // namespace

void WriteMat(RunState& state, BufferedWriter& out, std::size_t staging_values,
              std::size_t tile_values) {
  RecordSink sink(state, out);
  state.irec = 0;
  WriteHeader(state, sink);

  const std::uint64_t values =
      std::uint64_t(state.irow) * std::uint64_t(state.icol);
  const std::uint64_t element_size =
      mat::MatrixElementBytes(static_cast<std::uint64_t>(state.n1), values);
  // Loading keeps within this; past it the size fields would wrap.
  if (element_size > mat::kMaxElementBytes) {
    throw RunError("a matrix of " + std::to_string(values) +
                   " values is over the limit of a MAT-file element");
  }
  sink.PutWords(mat::kMiMatrix, static_cast<std::int32_t>(element_size));
  sink.PutWords(mat::kMiUint32, 8);
  sink.PutWords(mat::kMxDoubleClass, 0);
  sink.PutWords(mat::kMiInt32, 8);
  sink.PutWords(state.icol, state.irow);
  WriteName(state, sink);
  sink.PutWords(mat::kMiDouble, static_cast<std::int32_t>(8 * values));
  WriteValues(state, out,
              state.tiles != nullptr ? tile_values : staging_values);
}

void writemat(RunState& state) {
  const std::string name(TrimTrailingBlanks(state.fname3));
  ReplacementFile file;
  if (int error = file.Create(name); error != 0) {
    throw RunError(FileError("cannot create MAT-file", name, error));
  }
  BufferedWriter out(file.file());
  WriteMat(state, out);
  int error = out.Flush();
  if (error == 0) error = file.Commit();
  if (error != 0 && file.replaced()) {
    // The new file is whole and in place; removing it now would lose both.
    throw RunError("MAT-file " + Quote(name) +
                   " is written, but its directory could not be synced, so a "
                   "power loss may undo the replacement: " +
                   std::strerror(error));
  }
  if (error != 0) {
    throw RunError(FileError("cannot write MAT-file", name, error));
  }
  state.tiles.reset();  // closes the data file
}

}  // namespace unf2mat
