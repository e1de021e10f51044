#include "tests/test_util.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "recordio/coding.h"

namespace unf2mat::test {
namespace {
RunState shared_state;
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

std::string Truncated(std::string bytes, std::size_t length) {
  bytes.resize(length);
  return bytes;
}

std::string WithByteFlipped(std::string bytes, std::size_t pos) {
  bytes[pos] = static_cast<char>(~bytes[pos]);
  return bytes;
}

std::string Le32(std::uint32_t a, std::uint32_t b) {
  std::string bytes(8, '\0');
  EncodeFixed32(bytes.data(), a);
  EncodeFixed32(bytes.data() + 4, b);
  return bytes;
}

std::string LeDouble(double value) {
  std::string bytes(8, '\0');
  EncodeDouble(bytes.data(), value);
  return bytes;
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
