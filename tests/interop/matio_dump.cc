// Prints what libmatio reads from each MAT-file given: a line "name rows
// columns", then the bits of each value in hexadecimal, row by row.
// With --all first, every variable of each file: a line "name class d1 d2
// ...", with " complex" after the class of a complex array, then a line per
// value, column-major: the bits of a number in hexadecimal, in the class's
// own size (of a complex one the real part's, a space and the imaginary
// part's); a logical's 0 or 1; a character's code unit, 4 hexadecimal
// digits. A cell array's cells follow it, each as a variable "name{k}", k
// from 1.
#include <matio.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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

const char* ClassName(const matvar_t* var) {
  switch (var->class_type) {
    case MAT_C_DOUBLE:
      return "double";
    case MAT_C_SINGLE:
      return "single";
    case MAT_C_INT8:
      return "int8";
    case MAT_C_INT16:
      return "int16";
    case MAT_C_INT32:
      return "int32";
    case MAT_C_INT64:
      return "int64";
    case MAT_C_UINT8:
      return var->isLogical ? "logical" : nullptr;
    case MAT_C_CHAR:
      return "char";
    case MAT_C_CELL:
      return "cell";
    default:
      return nullptr;
  }
}

// The bits of value k of `size` bytes at data.
std::uint64_t Bits(const void* data, std::size_t k, std::size_t size) {
  std::uint64_t bits = 0;
  // Little-endian host.
  std::memcpy(&bits, static_cast<const char*>(data) + size * k, size);
  return bits;
}

// Those bits in hexadecimal, two digits a byte.
std::string Hex(const void* data, std::size_t k, std::size_t size) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*" PRIx64, static_cast<int>(2 * size),
                Bits(data, k, size));
  return text;
}

int DumpVariable(matvar_t* var, const std::string& name, const char* path) {
  const char* class_name = ClassName(var);
  std::size_t count = 1;
  for (int d = 0; d < var->rank; ++d) count *= var->dims[d];
  if (class_name == nullptr || (count > 0 && !var->data)) {
    std::fprintf(stderr,
                 "matio finds %s in %s of another class, or without "
                 "data\n",
                 name.c_str(), path);
    return 1;
  }
  std::printf("%s %s%s", name.c_str(), class_name,
              var->isComplex ? " complex" : "");
  for (int d = 0; d < var->rank; ++d) std::printf(" %zu", var->dims[d]);
  std::printf("\n");
  int status = 0;
  const std::size_t size = Mat_SizeOfClass(var->class_type);
  for (std::size_t k = 0; k < count; ++k) {
    if (var->class_type == MAT_C_CELL) {
      matvar_t* cell = Mat_VarGetCell(var, static_cast<int>(k));
      const std::string cell_name = name + "{" + std::to_string(k + 1) + "}";
      if (cell == nullptr) {
        std::fprintf(stderr, "matio finds no %s in %s\n", cell_name.c_str(),
                     path);
        status = 1;
      } else {
        status |= DumpVariable(cell, cell_name, path);
      }
    } else if (var->isComplex) {
      const auto* split = static_cast<const mat_complex_split_t*>(var->data);
      std::printf("%s %s\n", Hex(split->Re, k, size).c_str(),
                  Hex(split->Im, k, size).c_str());
    } else if (var->isLogical || var->class_type == MAT_C_CHAR) {
      // As matio holds them: a logical in a byte, a character in 1 or 2.
      const std::uint64_t unit =
          Bits(var->data, k, static_cast<std::size_t>(var->data_size));
      if (var->isLogical) {
        std::printf("%" PRIu64 "\n", unit);
      } else {
        std::printf("%04" PRIx64 "\n", unit);
      }
    } else {
      std::printf("%s\n", Hex(var->data, k, size).c_str());
    }
  }
  return status;
}

int DumpAll(const char* path) {
  mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
  if (mat == nullptr) {
    std::fprintf(stderr, "matio cannot open %s\n", path);
    return 1;
  }
  int status = 0;
  while (matvar_t* var = Mat_VarReadNext(mat)) {
    status |= DumpVariable(var, var->name, path);
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
