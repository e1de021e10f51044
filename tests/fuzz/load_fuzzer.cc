// Feeds arbitrary bytes to the framing reader and the loader, as a file that
// can be read at an offset or as a pipe, with small limits and buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "loader/loader.h"
#include "recordio/file.h"
#include "recordio/record_reader.h"
#include "tests/fake_files.h"

namespace unf2mat {
namespace {

RunState state;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Load(InputFile& file, std::size_t buffer, const LoadLimits& limits) {
  RecordReader reader(file, buffer);
  try {
    LoadCore(state, reader, "fuzz.dat", limits);
  } catch (const RunError&) {
    return;
  }
  Check(state.irow >= 0 && state.icol >= 0);
  Check(static_cast<std::size_t>(state.irow) <= limits.record_values);
  Check(static_cast<std::size_t>(state.irow) *
            static_cast<std::size_t>(state.icol) <=
        limits.matrix_values);
}

// Reads every record in pieces of an odd size.
void ReadInPieces(InputFile& file, std::size_t buffer, std::size_t capacity) {
  RecordReader reader(file, buffer);
  std::optional<std::uint64_t> first_bytes;
  if (reader.DetectFraming(&first_bytes) != ReadStatus::kOk) return;
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

}  // namespace
}  // namespace unf2mat

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace unf2mat;
  if (size == 0) return 0;
  // The first byte picks the buffer size and the limits.
  const std::size_t buffer = std::size_t{8} << (data[0] & 7);
  const LoadLimits limits{std::size_t{4} << ((data[0] >> 3) & 3),
                          std::size_t{64} << ((data[0] >> 5) & 3)};
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
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
