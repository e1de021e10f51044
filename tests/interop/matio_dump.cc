// Prints what libmatio reads from each MAT-file given: a line "name rows
// columns", then the bits of each value in hexadecimal, row by row.
#include <matio.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

int Dump(const char* path) {
  mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
  if (mat == nullptr) {
    std::fprintf(stderr, "matio cannot open %s\n", path);
    return 1;
  }
  int status = 0;
  matvar_t* var = Mat_VarReadNext(mat);
  if (var == nullptr || var->rank != 2 || var->class_type != MAT_C_DOUBLE ||
      var->isComplex || (var->dims[0] * var->dims[1] > 0 && !var->data)) {
    std::fprintf(stderr, "matio finds no real double matrix in %s\n", path);
    status = 1;
  } else {
    const std::size_t rows = var->dims[0], columns = var->dims[1];
    std::printf("%s %zu %zu\n", var->name, rows, columns);
    const auto* data = static_cast<const char*>(var->data);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < columns; ++c) {
        std::uint64_t bits;
        std::memcpy(&bits, data + 8 * (c * rows + r), sizeof bits);
        std::printf("%016" PRIx64 "\n", bits);
      }
    }
  }
  if (var != nullptr) Mat_VarFree(var);
  if (matvar_t* extra = Mat_VarReadNextInfo(mat); extra != nullptr) {
    std::fprintf(stderr, "matio finds more than one variable in %s\n", path);
    Mat_VarFree(extra);
    status = 1;
  }
  Mat_Close(mat);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  for (int k = 1; k < argc; ++k) status |= Dump(argv[k]);
  return status;
}
