// Writes the fuzzer's seed corpus: data files like those the tests use, in
// every framing, whole and damaged, each after the fuzzer's option byte.
//
// usage: unf2mat_make_seeds DIR
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

int main(int argc, char** argv) {
  using namespace unf2mat;
  if (argc != 2) return 2;
  const test::Records records = {{1, 2, 3}, {4, 5, 6}, {7, 8}, {9, 10, 11}};
  std::vector<std::string> files = {
      "",
      test::DataFile({{}}),
      test::DataFile({{1}, {2}, {3}}),
      test::Truncated(test::DataFile(records), 30),
      test::WithByteFlipped(test::DataFile(records), 16),
  };
  for (const record::Framing& framing : record::kFramings) {
    files.push_back(test::FramedFile(records, framing));
    files.push_back(test::FramedFile(records, framing, 4));
    files.push_back(test::FramedFile({{}, {1, 2}}, framing));
  }
  int n = 0;
  for (const std::string& file : files) {
    for (char options : {'\x00', '\x2b', '\xff'}) {
      std::ofstream(std::string(argv[1]) + "/seed" + std::to_string(n++),
                    std::ios::binary)
          << options << file;
    }
  }
  return 0;
}
