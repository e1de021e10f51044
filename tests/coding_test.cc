// Byte-level encodings, checked against literal bytes.
#include "common/coding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "tests/test_util.h"

namespace unf2mat {
namespace {

using namespace std::string_literals;

TEST(CodingTest, EncodesLittleEndian) {
  struct {
    std::uint64_t value;
    std::string fixed16, fixed32, fixed64;
  } const cases[] = {
      {0, "\x00\x00"s, "\x00\x00\x00\x00"s,
       "\x00\x00\x00\x00\x00\x00\x00\x00"s},
      {1, "\x01\x00"s, "\x01\x00\x00\x00"s,
       "\x01\x00\x00\x00\x00\x00\x00\x00"s},
      {0x0102030405060708, "\x08\x07", "\x08\x07\x06\x05",
       "\x08\x07\x06\x05\x04\x03\x02\x01"},
      {0x8000000000000080, "\x80\x00"s, "\x80\x00\x00\x00"s,
       "\x80\x00\x00\x00\x00\x00\x00\x80"s},
      {UINT64_MAX, "\xff\xff", "\xff\xff\xff\xff",
       "\xff\xff\xff\xff\xff\xff\xff\xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string bytes(8, '?');
    EncodeFixed16(bytes.data(), static_cast<std::uint16_t>(c.value));
    EXPECT_EQ(bytes, c.fixed16 + "??????") << "wrote past 2 bytes";
    bytes.assign(8, '?');
    EncodeFixed32(bytes.data(), static_cast<std::uint32_t>(c.value));
    EXPECT_EQ(bytes, c.fixed32 + "????") << "wrote past 4 bytes";
    EncodeFixed64(bytes.data(), c.value);
    EXPECT_EQ(bytes, c.fixed64);
    EXPECT_EQ(DecodeFixed32(c.fixed32.data()),
              static_cast<std::uint32_t>(c.value));
    EXPECT_EQ(DecodeFixed64(c.fixed64.data()), c.value);
  }
}

TEST(CodingTest, EncodesDoublesLittleEndian) {
  using D = std::numeric_limits<double>;
  struct {
    double value;
    std::string bytes;
  } const cases[] = {
      {0.0, "\x00\x00\x00\x00\x00\x00\x00\x00"s},
      {-0.0, "\x00\x00\x00\x00\x00\x00\x00\x80"s},
      {1.0, "\x00\x00\x00\x00\x00\x00\xf0\x3f"s},
      {-2.5, "\x00\x00\x00\x00\x00\x00\x04\xc0"s},
      {0.1, "\x9a\x99\x99\x99\x99\x99\xb9\x3f"s},
      {D::infinity(), "\x00\x00\x00\x00\x00\x00\xf0\x7f"s},
      {D::denorm_min(), "\x01\x00\x00\x00\x00\x00\x00\x00"s},
      {D::quiet_NaN(), "\x00\x00\x00\x00\x00\x00\xf8\x7f"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string bytes(8, '?');
    EncodeDouble(bytes.data(), c.value);
    EXPECT_EQ(bytes, c.bytes);
  }
}

// Data file words are decoded in the host's order, then swapped for a file
// of the other order: either way round, the bytes give the same value.
TEST(CodingTest, DecodesHostOrderAndSwaps) {
  const bool little = std::endian::native == std::endian::little;
  struct {
    std::string bytes;
    std::uint64_t little_endian, big_endian;
  } const cases[] = {
      {"\x01\x02\x03\x04\x05\x06\x07\x08", 0x0807060504030201,
       0x0102030405060708},
      {"\x0c\x00\x00\x00\x00\x00\x00\x00"s, 12, 0x0c00000000000000},
      {"\x00\x00\x00\x0c\x00\x00\x00\x00"s, 0x0c000000, 0x0000000c00000000},
      {"\x04\x00\x00\x80\xff\xff\xff\xff"s, 0xffffffff80000004,
       0x04000080ffffffff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.little_endian);
    const std::uint32_t le32 = static_cast<std::uint32_t>(c.little_endian);
    const std::uint32_t be32 = static_cast<std::uint32_t>(c.big_endian >> 32);
    const std::uint32_t host32 = DecodeHost32(c.bytes.data());
    const std::uint64_t host64 = DecodeHost64(c.bytes.data());
    EXPECT_EQ(host32, little ? le32 : be32);
    EXPECT_EQ(ByteSwap32(host32), little ? be32 : le32);
    EXPECT_EQ(host64, little ? c.little_endian : c.big_endian);
    EXPECT_EQ(ByteSwap64(host64), little ? c.big_endian : c.little_endian);
  }
}

// The golden MAT-file bytes of the other tests are built with these.
TEST(CodingTest, TestHelpersBuildTheSameBytes) {
  struct {
    std::string got, expected;
  } const cases[] = {
      {test::Le32(0, 1), "\x00\x00\x00\x00\x01\x00\x00\x00"s},
      {test::Le32(14, 0x01020304), "\x0e\x00\x00\x00\x04\x03\x02\x01"s},
      {test::Le32(UINT32_MAX, 0x80000000), "\xff\xff\xff\xff\x00\x00\x00\x80"s},
      {test::LeDouble(1.0), "\x00\x00\x00\x00\x00\x00\xf0\x3f"s},
      {test::LeDouble(-0.1), "\x9a\x99\x99\x99\x99\x99\xb9\xbf"s},
      {test::LeDouble(std::numeric_limits<double>::denorm_min()),
       "\x01\x00\x00\x00\x00\x00\x00\x00"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got, c.expected);
  }
}

}  // namespace
}  // namespace unf2mat
