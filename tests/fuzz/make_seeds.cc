// Writes the fuzzer's seed corpus: data files like those the tests use, in
// every framing, whole, split into subrecords and damaged, each after the
// fuzzer's option byte; and recipes for such files (see load_fuzzer.cc).
//
// usage: unf2mat_make_seeds DIR
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using unf2mat::test::Records;

// The recipe of `records` in framing `framing_index`, split as `split` says,
// with byte `damage_at` XORed with `damage`.
std::string Recipe(const Records& records, int framing_index, int split,
                   std::uint16_t damage_at, std::uint8_t damage) {
  std::string recipe;
  recipe += static_cast<char>(framing_index | split << 2);
  recipe += static_cast<char>(damage_at & 0xff);
  recipe += static_cast<char>(damage_at >> 8);
  recipe += static_cast<char>(damage);
  for (const auto& values : records) {
    recipe += static_cast<char>(values.size());
    for (float v : values) {
      char bytes[4];
      std::memcpy(bytes, &v, 4);
      recipe.append(bytes, 4);
    }
  }
  return recipe;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace unf2mat;
  if (argc != 2) return 2;
  const test::Records records = {{1, 2, 3}, {4, 5, 6}, {7, 8}, {9, 10, 11}};
  const test::Records with_empty = {{}, {}, {1, 2}, {3, 4}};
  std::vector<std::string> files = {"", test::DataFile({{1}, {2}, {3}})};
  std::vector<std::string> recipes;
  int index = 0;
  for (const record::Framing& framing : record::kFramings) {
    const std::size_t m = framing.marker_size;
    const std::string whole = test::FramedFile(records, framing);
    files.push_back(whole);
    files.push_back(test::FramedFile(records, framing, 4));
    files.push_back(test::FramedFile(records, framing, 8));
    files.push_back(test::FramedFile(with_empty, framing));
    files.push_back(test::FramedFile({{}}, framing));
    // Cut inside a count and inside the values; counts damaged: the first
    // leading and trailing ones, and both ends of the second record's
    // leading one (its highest byte, in either byte order: a huge count).
    files.push_back(test::Truncated(whole, 2 * m + 12 + m / 2));
    files.push_back(test::Truncated(whole, whole.size() - 3));
    for (std::size_t at : {std::size_t{0}, m + 12, 2 * m + 12, 3 * m + 11}) {
      files.push_back(test::WithByteFlipped(whole, at));
    }
    files.push_back(test::WithByteFlipped(test::FramedFile(records, framing, 4),
                                          m + 4 + m));
    for (int split : {7, 0, 1}) {
      recipes.push_back(Recipe(records, index, split, 0, 0));
      recipes.push_back(Recipe(with_empty, index, split, 0, 0));
      recipes.push_back(
          Recipe(records, index, split, static_cast<std::uint16_t>(m + 12), 1));
      recipes.push_back(Recipe(records, index, split,
                               static_cast<std::uint16_t>(2 * m + 12), 0x80));
    }
    ++index;
  }
  int n = 0;
  auto write = [&](char options, const std::string& body) {
    std::ofstream(std::string(argv[1]) + "/seed" + std::to_string(n++),
                  std::ios::binary)
        << options << body;
  };
  for (const std::string& file : files) {
    for (char options : {'\x00', '\x2b', '\x7f'}) write(options, file);
  }
  for (const std::string& recipe : recipes) {
    for (char options : {'\x80', '\xab', '\xff'}) write(options, recipe);
  }
  return 0;
}
