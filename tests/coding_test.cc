#include "recordio/coding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace unf2mat {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

TEST(CodingTest, FixedWidthIntegersAreLittleEndian) {
  char buf[8];
  EncodeFixed16(buf, 0x0100);
  EXPECT_EQ(std::string(buf, 2), Bytes({0x00, 0x01}));
  EncodeFixed32(buf, 0x0a0b0c0d);
  EXPECT_EQ(std::string(buf, 4), Bytes({0x0d, 0x0c, 0x0b, 0x0a}));
  EncodeFixed64(buf, 0x0102030405060708ULL);
  EXPECT_EQ(std::string(buf, 8),
            Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
}

TEST(CodingTest, RoundTripsEdgeValues) {
  for (std::uint32_t v : {0u, 1u, 0x7fu, 0x80u, 0xffu, 0x100u, 0x7fffffffu,
                          0x80000000u, 0xfffffffeu, 0xffffffffu}) {
    char buf[8];
    EncodeFixed32(buf, v);
    EXPECT_EQ(DecodeFixed32(buf), v);
    EncodeFixed16(buf, static_cast<std::uint16_t>(v));
    EXPECT_EQ(DecodeFixed16(buf), static_cast<std::uint16_t>(v));
    std::uint64_t wide = (std::uint64_t{v} << 32) | (v ^ 0x5a5a5a5au);
    EncodeFixed64(buf, wide);
    EXPECT_EQ(DecodeFixed64(buf), wide);
  }
}

TEST(CodingTest, DoublesKeepEveryBit) {
  const double values[] = {1.0,
                           -0.0,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max()};
  for (double v : values) {
    char buf[8];
    EncodeDouble(buf, v);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(DecodeDouble(buf)),
              std::bit_cast<std::uint64_t>(v));
  }
  char buf[8];
  EncodeDouble(buf, 1.0);
  EXPECT_EQ(std::string(buf, 8), Bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
}

}  // namespace
}  // namespace unf2mat
