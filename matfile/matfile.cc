#include "matfile/matfile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/coding.h"
#include "common/run_error.h"
#include "common/widen_values.h"
#include "common/worker.h"
#include "io/replacement_file.h"
#include "io/scratch_file.h"
#include "matfile/compressed.h"
#include "matfile/hdf5_file.h"
#include "matfile/mat_format.h"
#include "matfile/part_tiles.h"
#include "matfile/value_loop.h"

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

// The 128 bytes of the header: the text, blank-padded (over the subsystem
// offset too), the version and the endian indicator.
std::string Header(std::string_view text, std::int16_t version) {
  std::string header(mat::kHeaderTextSize + 4, ' ');
  header.replace(0, text.size(), text);
  EncodeFixed16(header.data() + mat::kHeaderTextSize,
                static_cast<std::uint16_t>(version));
  header.replace(mat::kHeaderTextSize + 2, 2, mat::kEndian);
  return header;
}

void WriteHeader(RecordSink& sink) {
  // The text fills 15 records; its last 4 bytes share record 16 with the
  // version and the endian indicator.
  sink.PutPadded(Header(mat::kHeaderText, mat::kVersion));
}

// The file as MATLAB's v7.3 writes it: HDF5, written by the library through
// a name of its own, then the MAT header in the user block.
int WriteV73(ReplacementFile& file, const std::string& path,
             std::span<const MatVariable> variables,
             const MatFileOptions& options) {
  // The library holds buffers and caches of its own: smaller tiles keep the
  // whole within the memory bound.
  constexpr std::size_t kHdf5TileBytes = std::size_t{32} << 20;
  WriteHdf5(file.temp_path(), path, variables, options.level, kHdf5TileBytes,
            file.file());
  const std::string header = Header(mat::kHeaderText73, mat::kVersion73);
  return file.file().WriteAt(0, header.data(), header.size());
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

// The values' place in a Level 5 file: from `start`, `size` bytes each.
class RegionSink final : public ValueSink {
 public:
  RegionSink(BufferedWriter& out, std::uint64_t start, std::size_t size)
      : out_(out), start_(start), size_(size) {}
  int Put(std::uint64_t index, const char* bytes,
          std::uint64_t count) override {
    return out_.WriteAt(start_ + size_ * index, bytes,
                        static_cast<std::size_t>(size_ * count));
  }
  void Flow() override { out_.StartWriteback(start_, 0); }

 private:
  BufferedWriter& out_;
  std::uint64_t start_;
  std::size_t size_;
};

struct ClassTypes {
  std::int32_t mx;  // in the array flags
  std::int32_t mi;  // of the real (and imaginary) part
};

ClassTypes TypesOf(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return {mat::kMxSingleClass, mat::kMiSingle};
    case MatClass::kInt32:
      return {mat::kMxInt32Class, mat::kMiInt32};
    case MatClass::kInt64:
      return {mat::kMxInt64Class, mat::kMiInt64};
    case MatClass::kInt8:
      return {mat::kMxInt8Class, mat::kMiInt8};
    case MatClass::kInt16:
      return {mat::kMxInt16Class, mat::kMiInt16};
    case MatClass::kLogical:
      return {mat::kMxUint8Class, mat::kMiUint8};
    case MatClass::kChar:
      return {mat::kMxCharClass, mat::kMiUint16};
    case MatClass::kDouble:
      break;
  }
  return {mat::kMxDoubleClass, mat::kMiDouble};
}

// The first word of the array flags: the class and its flag bits.
std::uint32_t FlagsWord(const MatVariable& variable) {
  if (variable.cells != nullptr) return mat::kMxCellClass;
  std::uint32_t word =
      static_cast<std::uint32_t>(TypesOf(variable.mat_class).mx);
  if (variable.mat_class == MatClass::kLogical) word |= mat::kLogicalFlag;
  if (variable.complex) word |= mat::kComplexFlag;
  return word;
}

// Any size past what an element holds. Sizes are summed up to it and no
// further, so that no shape, however large, wraps a sum.
constexpr std::uint64_t kOverLimit = mat::kMaxElementBytes + 1;

std::uint64_t CappedSum(std::uint64_t a, std::uint64_t b) {
  return std::min(a + b, kOverLimit);  // each at most kOverLimit + 8
}

// The product rows x columns x size, or kOverLimit where it passes it.
std::uint64_t CappedProduct(std::uint64_t rows, std::uint64_t columns,
                            std::uint64_t size) {
  if (rows != 0 && columns > kOverLimit / size / rows) return kOverLimit;
  return std::min(rows * columns * size, kOverLimit);
}

// Bytes of the values of one part (the real or the imaginary).
std::uint64_t PartBytes(const MatVariable& variable) {
  return CappedProduct(variable.rows, variable.columns,
                       ClassSize(variable.mat_class));
}

// Bytes after the element's tag: of a cell array, its cells' elements, as
// the cells say their shapes.
std::uint64_t ElementSize(const MatVariable& variable) {
  const std::uint64_t head =
      mat::ElementBytes(variable.name.size(), variable.shape().size(), 0);
  if (variable.cells == nullptr) {
    const std::uint64_t part = mat::Padded(PartBytes(variable));
    return CappedSum(CappedSum(head, part),
                     variable.complex ? mat::kRecordSize + part : 0);
  }
  // No real-part tag: the cells follow the name.
  std::uint64_t size = head - mat::kRecordSize;
  const std::uint64_t cells = CappedProduct(variable.rows, variable.columns, 1);
  for (std::uint64_t k = 0; k < cells && size < kOverLimit; ++k) {
    size = CappedSum(
        size, mat::kRecordSize + ElementSize(variable.cells->Cell(k, false)));
  }
  return size;
}

// The largest dimension of the array or of any array in its cells.
std::uint64_t LargestDimension(const MatVariable& variable) {
  const std::vector<std::uint64_t> dims = variable.shape();
  std::uint64_t largest = *std::max_element(dims.begin(), dims.end());
  if (variable.cells == nullptr) return largest;
  const std::uint64_t cells = variable.rows * variable.columns;
  for (std::uint64_t k = 0; k < cells && largest <= mat::kMaxDimension; ++k) {
    largest =
        std::max(largest, LargestDimension(variable.cells->Cell(k, false)));
  }
  return largest;
}

// Ends the run where `variable` is too large for a Level 5 element, before
// anything is written.
void CheckFitsElement(const MatVariable& variable) {
  if (variable.cells == nullptr) {
    // Loading keeps within this; past it the size fields would wrap.
    if (ElementSize(variable) > mat::kMaxElementBytes) {
      throw RunError("a matrix of " +
                     std::to_string(variable.rows * variable.columns) +
                     " values is over the limit of a MAT-file element");
    }
    for (std::uint64_t dim : variable.shape()) {
      if (dim > mat::kMaxDimension) {
        throw RunError("a dimension of " + std::to_string(dim) +
                       " is over the limit of a MAT-file array");
      }
    }
    return;
  }
  const std::string what = "cell array " + Quote(variable.name);
  // Its own dimensions first: they bound how many cells are asked for.
  for (std::uint64_t dim : variable.shape()) {
    if (dim > mat::kMaxDimension) {
      throw RunError("a dimension of " + std::to_string(dim) + " of " + what +
                     " is over the limit of a MAT-file array");
    }
  }
  if (ElementSize(variable) > mat::kMaxElementBytes) {
    throw RunError(what + " is over the limit of a MAT-file element (" +
                   std::to_string(mat::kMaxElementBytes) + " bytes)");
  }
  if (const std::uint64_t dim = LargestDimension(variable);
      dim > mat::kMaxDimension) {
    throw RunError("a dimension of " + std::to_string(dim) + " in " + what +
                   " is over the limit of a MAT-file array");
  }
}

// The most bytes of a tile of the variable's values. A complex array's
// part is read through a buffer of both (PartTiles): half as many.
std::size_t ValueTileBytes(const MatVariable& variable,
                           std::size_t tile_bytes) {
  tile_bytes = std::min(tile_bytes, variable.values->tile_bytes());
  return variable.complex ? std::max<std::size_t>(1, tile_bytes / 2)
                          : tile_bytes;
}

// Whether the values come in order, tiles of whole columns, as a stream
// takes them.
bool ValuesInOrder(const MatVariable& variable, std::size_t tile_bytes) {
  return variable.rows * variable.columns == 0 ||
         PlanTiles(variable.rows, variable.columns,
                   ValueSize(variable.values->element()),
                   ValueTileBytes(variable, tile_bytes),
                   variable.values->column_runs())
                 .rows == variable.rows;
}

// One part of the values, real or imaginary: its tag, then the values from
// `source`, padded to 8 bytes.
void WritePart(const MatVariable& variable, TileSource* source,
               std::size_t tile_bytes, BufferedWriter& out) {
  const std::uint64_t value_bytes = PartBytes(variable);
  RecordSink(out).PutWords(
      static_cast<std::uint32_t>(TypesOf(variable.mat_class).mi),
      static_cast<std::uint32_t>(value_bytes));
  if (value_bytes == 0) return;
  const std::uint64_t start = out.position();
  RegionSink region(out, start, ClassSize(variable.mat_class));
  WriteValues(*source, variable.mat_class, variable.rows, variable.columns,
              tile_bytes, region);
  out.MoveTo(start + value_bytes);
  constexpr char kZeros[mat::kRecordSize] = {};
  out.Append(kZeros, mat::Padded(value_bytes) - value_bytes);
}

void WriteThroughScratch(const MatVariable& variable, std::size_t tile_bytes,
                         const std::vector<std::string>& dirs,
                         BufferedWriter& out);

// The variable's element, tag and all, at out's position. Where
// `scratch_dirs` is given, the element is written in order (into a stream):
// an array whose values do not come in order is written to a scratch file
// first.
void WriteElement(const MatVariable& variable, BufferedWriter& out,
                  std::size_t tile_bytes,
                  const std::vector<std::string>* scratch_dirs) {
  const bool has_values =
      variable.cells == nullptr && variable.rows * variable.columns != 0;
  if (has_values && variable.values == nullptr) {
    throw std::logic_error("an array of values has no source of them");
  }
  if (has_values && scratch_dirs != nullptr &&
      !ValuesInOrder(variable, tile_bytes)) {
    return WriteThroughScratch(variable, tile_bytes, *scratch_dirs, out);
  }
  const std::uint64_t size = ElementSize(variable);
  const std::uint64_t end = out.position() + mat::kRecordSize + size;
  const std::vector<std::uint64_t> dims = variable.shape();
  RecordSink sink(out);
  sink.PutWords(mat::kMiMatrix, static_cast<std::uint32_t>(size));
  sink.PutWords(mat::kMiUint32, 8);
  sink.PutWords(FlagsWord(variable), 0);
  sink.PutWords(mat::kMiInt32, static_cast<std::uint32_t>(4 * dims.size()));
  std::string dim_bytes(4 * dims.size(), '\0');
  for (std::size_t k = 0; k < dims.size(); ++k) {
    EncodeFixed32(dim_bytes.data() + 4 * k,
                  static_cast<std::uint32_t>(dims[k]));
  }
  sink.PutPadded(dim_bytes);
  WriteName(variable.name, sink);
  if (variable.cells != nullptr) {
    const std::uint64_t cells = variable.rows * variable.columns;
    for (std::uint64_t k = 0; k < cells; ++k) {
      WriteElement(variable.cells->Cell(k, true), out, tile_bytes,
                   scratch_dirs);
    }
  } else if (!variable.complex) {
    WritePart(variable, variable.values,
              has_values ? ValueTileBytes(variable, tile_bytes) : 0, out);
  } else {
    tile_bytes = has_values ? ValueTileBytes(variable, tile_bytes) : 0;
    for (int part : {0, 1}) {
      std::optional<PartTiles> source;
      if (has_values) source.emplace(*variable.values, part);
      WritePart(variable, source ? &*source : nullptr, tile_bytes, out);
    }
  }
  // The size in the tag was counted from the cells' shapes as they said
  // them then.
  if (out.position() != end) {
    throw std::logic_error("cell array " + Quote(variable.name) +
                           " changed its cells' shapes while written");
  }
}

// Keeps a variable's element in a scratch file, for one whose values are not
// made in order, and appends it to `out` from there, in order.
void WriteThroughScratch(const MatVariable& variable, std::size_t tile_bytes,
                         const std::vector<std::string>& dirs,
                         BufferedWriter& out) {
  int fd = -1;
  std::string dir;
  if (int error = CreateScratchFile(dirs, &fd, &dir); error != 0) {
    throw RunError(FileError("cannot create a temporary file in", dir, error));
  }
  PosixInputFile scratch_in(fd, /*owned=*/true);
  PosixOutputFile scratch(fd);
  BufferedWriter element(scratch);
  WriteElement(variable, element, tile_bytes, nullptr);
  if (int error = element.Flush(); error != 0) {
    throw RunError(FileError("cannot write a temporary file in", dir, error));
  }
  std::vector<char> buffer(std::size_t{1} << 20);
  for (std::uint64_t at = 0; at < element.position();) {
    const IoResult got = scratch_in.ReadAt(at, buffer.data(), buffer.size());
    if (got.error != 0 || got.bytes == 0) {
      throw RunError(FileError("cannot read a temporary file in", dir,
                               got.error != 0 ? got.error : EIO));
    }
    out.Append(buffer.data(), got.bytes);
    at += got.bytes;
  }
}

// A variable's element as a miCOMPRESSED one: its tag, then the zlib stream
// of the whole matrix element (of a cell array, with its cells), not padded.
void WriteCompressed(const MatVariable& variable, std::size_t tile_bytes,
                     const MatFileOptions& options, BufferedWriter& out) {
  const std::uint64_t tag_at = out.position();
  constexpr char kTagRoom[mat::kRecordSize] = {};
  out.Append(kTagRoom, sizeof kTagRoom);
  DeflateFile deflate(out, options.level.value_or(1));
  BufferedWriter element(deflate);
  WriteElement(variable, element, tile_bytes, &options.scratch_dirs);
  element.Flush();
  if (int error = deflate.Finish(); error != 0) {
    throw RunError("cannot compress variable " + Quote(variable.name) + ": " +
                   std::strerror(error));
  }
  if (deflate.bytes_out() > mat::kMaxElementBytes) {
    throw RunError("variable " + Quote(variable.name) +
                   " compresses to more than a MAT-file element holds");
  }
  char tag[mat::kRecordSize];
  EncodeFixed32(tag, mat::kMiCompressed);
  EncodeFixed32(tag + 4, static_cast<std::uint32_t>(deflate.bytes_out()));
  out.WriteAt(tag_at, tag, sizeof tag);
}

}  // namespace

void CheckFormatBuilt(MatFormat format) {
  if (format == MatFormat::kV7 && !CanDeflate()) {
    throw RunError(
        "--format v7 needs zlib, which this unf2mat was built without: "
        "install zlib1g-dev and build it again");
  }
  if (format == MatFormat::kV73 && !CanWriteHdf5()) {
    throw RunError(
        "--format v7.3 needs the HDF5 library, which this unf2mat was built "
        "without: install libhdf5-dev and build it again");
  }
}

std::uint64_t WriteLevel5(std::span<const MatVariable> variables,
                          BufferedWriter& out, std::size_t tile_bytes,
                          const MatFileOptions& options) {
  for (const MatVariable& variable : variables) CheckFitsElement(variable);
  const std::uint64_t start = out.position();
  RecordSink sink(out);
  WriteHeader(sink);
  for (const MatVariable& variable : variables) {
    if (options.format == MatFormat::kV7) {
      WriteCompressed(variable, tile_bytes, options, out);
    } else {
      WriteElement(variable, out, tile_bytes, nullptr);
    }
  }
  return (out.position() - start + mat::kRecordSize - 1) / mat::kRecordSize;
}

std::uint64_t WriteMatFile(const std::string& path,
                           std::span<const MatVariable> variables,
                           const MatFileOptions& options) {
  CheckFormatBuilt(options.format);
  // The HDF5 library opens its file by a name it resolves: not an unnamed
  // one's /proc link, but a temporary name in the target's directory.
  ReplacementFile file(/*allow_unnamed=*/options.format != MatFormat::kV73);
  if (int error = file.Create(path); error != 0) {
    throw RunError(FileError("cannot create MAT-file", path, error));
  }
  std::uint64_t records = 0;
  int error = 0;
  if (options.format == MatFormat::kV73) {
    error = WriteV73(file, path, variables, options);
  } else {
    BufferedWriter out(file.file());
    records = WriteLevel5(variables, out, kTileBytes, options);
    error = out.Flush();
  }
  if (error == 0) {
    if (options.before_commit) options.before_commit();
    error = file.Commit();
  }
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
