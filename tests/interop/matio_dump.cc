// Prints what libmatio reads from each MAT-file given: a line "name rows
// columns", then the bits of each value in hexadecimal, row by row.
// With --all first, every variable of each file: a line "name class d1 d2
// ...", then the bits of each value, in the class's own size, column-major.
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

const char* ClassName(matio_classes class_type) {
  switch (class_type) {
    case MAT_C_DOUBLE:
      return "double";
    case MAT_C_SINGLE:
      return "single";
    case MAT_C_INT32:
      return "int32";
    case MAT_C_INT64:
      return "int64";
    default:
      return nullptr;
  }
}

int DumpAll(const char* path) {
  mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
  if (mat == nullptr) {
    std::fprintf(stderr, "matio cannot open %s\n", path);
    return 1;
  }
  int status = 0;
  while (matvar_t* var = Mat_VarReadNext(mat)) {
    const char* name = ClassName(var->class_type);
    std::size_t count = 1;
    for (int d = 0; d < var->rank; ++d) count *= var->dims[d];
    if (name == nullptr || var->isComplex || (count > 0 && !var->data)) {
      std::fprintf(stderr, "matio finds %s in %s of another class or "
                   "complex, or without data\n", var->name, path);
      status = 1;
    } else {
      std::printf("%s %s", var->name, name);
      for (int d = 0; d < var->rank; ++d) std::printf(" %zu", var->dims[d]);
      std::printf("\n");
      const auto* data = static_cast<const char*>(var->data);
      const std::size_t size = Mat_SizeOfClass(var->class_type);
      for (std::size_t k = 0; k < count; ++k) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, data + size * k, size);  // little-endian host
        std::printf("%0*" PRIx64 "\n", static_cast<int>(2 * size), bits);
      }
    }
    Mat_VarFree(var);
  }
  Mat_Close(mat);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const bool all = argc > 1 && std::strcmp(argv[1], "--all") == 0;
  int status = 0;
  for (int k = all ? 2 : 1; k < argc; ++k) {
    status |= all ? DumpAll(argv[k]) : Dump(argv[k]);
  }
  return status;
}
