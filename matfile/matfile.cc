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
  RegionSink region(out, start, ClassSize(variable.mat_class));
  WriteValues(*variable.values, variable.mat_class, variable.rows,
              variable.columns,
              std::min(tile_bytes, variable.values->tile_bytes()), region);
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
