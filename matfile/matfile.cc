#include "matfile/matfile.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "matfile/mat_format.h"
#include "recordio/coding.h"
#include "recordio/replacement_file.h"

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

// Core holds the records end to end (row-major); the file wants the matrix
// column by column.
void WriteValues(const RunState& state, RecordSink& sink) {
  const std::size_t rows = static_cast<std::size_t>(state.icol);
  const std::size_t columns = static_cast<std::size_t>(state.irow);
  for (std::size_t c = 0; c < columns; ++c) {
    for (std::size_t r = 0; r < rows; ++r) {
      char record[mat::kRecordSize];
      EncodeDouble(record, state.core[r * columns + c]);
      sink.Put(record);
    }
  }
}

}  // namespace

void WriteMat(RunState& state, BufferedWriter& out) {
  RecordSink sink(state, out);
  state.irec = 0;
  WriteHeader(state, sink);

  const std::uint32_t values = static_cast<std::uint32_t>(state.irow) *
                               static_cast<std::uint32_t>(state.icol);
  const std::uint32_t name_bytes =
      state.n1 <= mat::kShortNameMax ? 0 : static_cast<std::uint32_t>(state.n2);
  const std::uint32_t element_size =
      mat::kMatrixFixedBytes + name_bytes + 8 * values;
  sink.PutWords(mat::kMiMatrix, static_cast<std::int32_t>(element_size));
  sink.PutWords(mat::kMiUint32, 8);
  sink.PutWords(mat::kMxDoubleClass, 0);
  sink.PutWords(mat::kMiInt32, 8);
  sink.PutWords(state.icol, state.irow);
  WriteName(state, sink);
  sink.PutWords(mat::kMiDouble, static_cast<std::int32_t>(8 * values));
  WriteValues(state, sink);
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
  if (error != 0)
    throw RunError(FileError("cannot write MAT-file", name, error));
}

}  // namespace unf2mat
