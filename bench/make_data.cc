// Writes a data file of `records` records of `values` single-precision values
// each, framed as a Fortran unformatted sequential WRITE on this machine
// frames them.
//
// usage: unf2mat_make_data FILE RECORDS VALUES
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool Put(std::FILE* out, const void* data, std::size_t n) {
  return std::fwrite(data, 1, n, out) == n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FILE RECORDS VALUES\n", argv[0]);
    return 2;
  }
  const std::uint64_t records = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t values = std::strtoull(argv[3], nullptr, 10);
  const std::uint32_t bytes = static_cast<std::uint32_t>(values * 4);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<char> buffer(std::size_t{1} << 20);
  std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
  std::vector<float> row(values);
  bool ok = true;
  for (std::uint64_t r = 0; r < records && ok; ++r) {
    for (std::uint64_t c = 0; c < values; ++c) {
      row[c] = static_cast<float>(r) + static_cast<float>(c) * 0.25f;
    }
    ok = Put(out, &bytes, 4) && Put(out, row.data(), bytes) &&
         Put(out, &bytes, 4);
  }
  if (std::fclose(out) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
