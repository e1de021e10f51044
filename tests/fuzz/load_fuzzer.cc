// Feeds arbitrary bytes, or files in every framing made from a recipe, to the
// framing reader and the loader, as a file that can be read at an offset or
// as a pipe, with small limits and buffers.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "loader/loader.h"
#include "io/file.h"
#include "recordio/record_reader.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

RunState state;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Passes calls on, noting any failure other than a pipe's ESPIPE. The fakes
// never fail a read, so a failure means the reader asked for a move no file
// allows (a skip over a damaged count, past the largest offset).
class FailureWatch final : public InputFile {
 public:
  explicit FailureWatch(InputFile& file) : file_(file) {}
  IoResult Read(char* dst, std::size_t n) override {
    return Note(file_.Read(dst, n));
  }
  int Skip(std::uint64_t n) override {
    return Note(IoResult{0, file_.Skip(n)}).error;
  }
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override {
    return Note(file_.ReadAt(offset, dst, n));
  }
  std::optional<std::uint64_t> Size() const override { return file_.Size(); }
  bool failed() const { return failed_; }

 private:
  IoResult Note(IoResult r) {
    failed_ |= r.error != 0 && r.error != ESPIPE;
    return r;
  }
  InputFile& file_;
  bool failed_ = false;
};

// A damaged file loads what comes before the damage or is refused at a
// limit; it never makes the load fail.
void Load(InputFile& file, std::size_t buffer, const LoadLimits& limits) {
  FailureWatch watched(file);
  RecordReader reader(watched, buffer);
  try {
    LoadCore(state, reader, "fuzz.dat", limits);
  } catch (const RunError&) {
    Check(!watched.failed());
    return;
  }
  Check(!watched.failed());
  Check(state.irow >= 0 && state.icol >= 0);
  Check(static_cast<std::size_t>(state.irow) <= limits.record_values);
  Check(static_cast<std::size_t>(state.irow) *
            static_cast<std::size_t>(state.icol) <=
        limits.matrix_values);
}

// Reads every record in pieces of an odd size.
void ReadInPieces(InputFile& file, std::size_t buffer, std::size_t capacity) {
  RecordReader reader(file, buffer);
  FramingChoice choice;
  if (reader.DetectFraming(std::uint64_t{capacity} * 4, &choice) !=
      ReadStatus::kOk) {
    return;
  }
  float window[3];
  std::size_t seen = 0;
  const RecordReader::PieceSink sink = [&](std::size_t offset, std::size_t n) {
    Check(n <= 3 && offset == seen);
    seen += n;
  };
  std::uint64_t bytes = 0;
  for (int k = 0; k < 1000; ++k) {
    seen = 0;
    if (reader.ReadRecordInPieces(window, 3, capacity, sink, &bytes) !=
        ReadStatus::kOk) {
      return;
    }
    Check(seen == std::min<std::uint64_t>(capacity, bytes / 4));
  }
}

// A recipe for a data file, so that mutations keep to a framing and its
// subrecords instead of breaking them at once: byte 0 picks the framing (bits
// 0-1) and the longest subrecord (bits 2-4: 4 to 28 bytes, or 7: unsplit);
// bytes 1-2 (little-endian) a byte to damage and byte 3 what to XOR it with
// (0: none); then records, each a count n of values and 4n bytes of them.
std::string FromRecipe(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return {};
  const record::Framing& framing = record::kFramings[data[0] & 3];
  const std::size_t split = (data[0] >> 2) & 7;
  const std::size_t max_subrecord = split == 7 ? SIZE_MAX : 4 * (split + 1);
  const std::size_t damage_at = data[1] | std::size_t{data[2]} << 8;
  const std::uint8_t damage = data[3];
  test::Records records;
  for (std::size_t at = 4; at < size;) {
    const std::size_t wanted = data[at++];
    const std::size_t n = std::min(wanted, (size - at) / 4);
    std::vector<float> values(n);
    if (n > 0) std::memcpy(values.data(), data + at, 4 * n);
    records.push_back(std::move(values));
    at += 4 * n;
  }
  std::string bytes = test::FramedFile(records, framing, max_subrecord);
  if (damage != 0 && !bytes.empty()) {
    bytes[damage_at % bytes.size()] ^= static_cast<char>(damage);
  }
  return bytes;
}

}  // namespace
}  // namespace unf2mat

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace unf2mat;
  if (size == 0) return 0;
  // The first byte picks the buffer size (bits 0-2), the limits (bits 3-6)
  // and whether the rest is the file itself or a recipe for one (bit 7).
  const std::size_t buffer = std::size_t{8} << (data[0] & 7);
  const LoadLimits limits{std::size_t{4} << ((data[0] >> 3) & 3),
                          std::size_t{64} << ((data[0] >> 5) & 3)};
  const std::string bytes =
      data[0] & 0x80
          ? FromRecipe(data + 1, size - 1)
          : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  {
    test::MemoryInputFile file(bytes);
    Load(file, buffer, limits);
  }
  {
    // A pipe: bytes in small pieces, no reads at an offset, no size.
    test::ScriptedInputFile pipe(bytes, 1 + data[0] % 7);
    Load(pipe, buffer, limits);
  }
  test::MemoryInputFile file(bytes);
  ReadInPieces(file, buffer, limits.record_values);
  return 0;
}
