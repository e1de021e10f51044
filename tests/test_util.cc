#include "tests/test_util.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace unf2mat::test {
namespace {
RunState shared_state;

// Little-endian bytes of the low `size` bytes of `value`, built here rather
// than by the code under test, so that expected bytes stay independent of it.
std::string LittleEndian(std::uint64_t value, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t k = 0; k < size; ++k) {
    bytes[k] = static_cast<char>((value >> (8 * k)) & 0xff);
  }
  return bytes;
}
}  // namespace

std::string FramedRecord(std::string_view payload) {
  std::uint32_t count = static_cast<std::uint32_t>(payload.size());
  std::string marker(4, '\0');
  std::memcpy(marker.data(), &count, 4);
  return marker + std::string(payload) + marker;
}

std::string Record(const std::vector<float>& values) {
  return FramedRecord(std::string_view(
      reinterpret_cast<const char*>(values.data()), values.size() * 4));
}

std::string DataFile(const Records& records) {
  std::string bytes;
  for (const auto& record : records) bytes += Record(record);
  return bytes;
}

namespace {

std::string Marker(std::int64_t count, const record::Framing& framing) {
  std::string bytes =
      LittleEndian(static_cast<std::uint64_t>(count), framing.marker_size);
  const bool host_is_big = std::endian::native == std::endian::big;
  if (host_is_big != framing.swapped) std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

}  // namespace

std::string FramedFile(const Records& records, const record::Framing& framing,
                       std::size_t max_subrecord) {
  std::string file;
  for (const auto& values : records) {
    std::string payload = Record(values).substr(4, values.size() * 4);
    if (framing.swapped) {
      for (std::size_t k = 0; k < payload.size(); k += 4) {
        std::reverse(payload.begin() + k, payload.begin() + k + 4);
      }
    }
    std::size_t start = 0;
    do {
      std::size_t length = std::min(max_subrecord, payload.size() - start);
      auto count = static_cast<std::int64_t>(length);
      bool more = start + length < payload.size();
      file += Marker(more ? -count : count, framing);
      file += payload.substr(start, length);
      file += Marker(start > 0 ? -count : count, framing);
      start += length;
    } while (start < payload.size());
  }
  return file;
}

std::string Truncated(std::string bytes, std::size_t length) {
  bytes.resize(length);
  return bytes;
}

std::string WithByteFlipped(std::string bytes, std::size_t pos) {
  bytes[pos] = static_cast<char>(~bytes[pos]);
  return bytes;
}

std::string Le32(std::uint32_t a, std::uint32_t b) {
  return LittleEndian(a, 4) + LittleEndian(b, 4);
}

std::string LeDouble(double value) {
  return LittleEndian(std::bit_cast<std::uint64_t>(value), 8);
}

Row ReadRow(RecordReader& reader, float* values, std::size_t count) {
  std::uint64_t bytes = 0;
  switch (reader.ReadRecord(values, count, &bytes)) {
    case ReadStatus::kOk:
      return bytes / 4 < count ? Row::kShort : Row::kOk;
    case ReadStatus::kDamaged:
      return Row::kDamaged;
    case ReadStatus::kEnd:
      return Row::kEnd;
    case ReadStatus::kFailed:
      break;
  }
  return Row::kFailed;
}

std::string MakeTempDir() {
  char pattern[] = "/tmp/unf2mat-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

RunState& FreshState() {
  std::memset(static_cast<void*>(&shared_state), 0, offsetof(RunState, x));
  return shared_state;
}

}  // namespace unf2mat::test
