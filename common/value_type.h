// What each value of a record holds, and its exact widening to double. The
// bytes are in the host's order by the time they are widened.
#ifndef UNF2MAT_COMMON_VALUE_TYPE_H_
#define UNF2MAT_COMMON_VALUE_TYPE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace unf2mat {

// kReal4 comes first: a zeroed run state reads single-precision values.
// The integers are named by their bytes, as Fortran's INTEGER*N: kInt8 is
// INTEGER*8. A complex value is two values of its part's type; a logical is
// 4 bytes, any of them non-zero for true; a character is one byte.
enum class ValueType : std::uint8_t {
  kReal4,
  kReal8,
  kInt4,
  kInt8,
  kInt1,
  kInt2,
  kLogical4,
  kChar1
};

// The types plain rows (--type) may have.
inline constexpr ValueType kValueTypes[] = {
    ValueType::kReal4, ValueType::kReal8, ValueType::kInt4, ValueType::kInt8};

inline constexpr std::size_t ValueSize(ValueType type) {
  switch (type) {
    case ValueType::kReal8:
    case ValueType::kInt8:
      return 8;
    case ValueType::kInt1:
    case ValueType::kChar1:
      return 1;
    case ValueType::kInt2:
      return 2;
    case ValueType::kReal4:
    case ValueType::kInt4:
    case ValueType::kLogical4:
      break;
  }
  return 4;
}

inline constexpr bool IsInteger(ValueType type) {
  return type == ValueType::kInt4 || type == ValueType::kInt8 ||
         type == ValueType::kInt1 || type == ValueType::kInt2;
}

// "real4", as the command line spells it.
inline constexpr std::string_view ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kReal8:
      return "real8";
    case ValueType::kInt4:
      return "int4";
    case ValueType::kInt8:
      return "int8";
    case ValueType::kInt1:
      return "int1";
    case ValueType::kInt2:
      return "int2";
    case ValueType::kLogical4:
      return "logical4";
    case ValueType::kChar1:
      return "char";
    case ValueType::kReal4:
      break;
  }
  return "real4";
}

template <ValueType kType>
inline double WidenValue(const char* src) {
  if constexpr (kType == ValueType::kReal8) {
    double value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else if constexpr (kType == ValueType::kInt4) {
    std::int32_t value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else if constexpr (kType == ValueType::kInt1) {
    std::int8_t value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else if constexpr (kType == ValueType::kInt2) {
    std::int16_t value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else if constexpr (kType == ValueType::kLogical4) {
    std::uint32_t value;
    std::memcpy(&value, src, sizeof value);
    return value != 0 ? 1.0 : 0.0;
  } else if constexpr (kType == ValueType::kChar1) {
    return static_cast<unsigned char>(*src);
  } else if constexpr (kType == ValueType::kInt8) {
    // Exact only within 2^53; those past it are refused before a double
    // class is written (FirstInexactInt8).
    std::int64_t value;
    std::memcpy(&value, src, sizeof value);
    return static_cast<double>(value);
  } else {
    float value;
    std::memcpy(&value, src, sizeof value);
    return value;
  }
}

// The MAT-file classes a numeric, logical or char array may have. As
// MATLAB names them: kInt8 is int8, one byte.
enum class MatClass : std::uint8_t {
  kDouble,
  kSingle,
  kInt32,
  kInt64,
  kInt8,
  kInt16,
  kLogical,
  kChar
};

// The class that holds values of `type` as they are.
inline constexpr MatClass NativeClass(ValueType type) {
  switch (type) {
    case ValueType::kReal4:
      return MatClass::kSingle;
    case ValueType::kInt4:
      return MatClass::kInt32;
    case ValueType::kInt8:
      return MatClass::kInt64;
    case ValueType::kInt1:
      return MatClass::kInt8;
    case ValueType::kInt2:
      return MatClass::kInt16;
    case ValueType::kLogical4:
      return MatClass::kLogical;
    case ValueType::kChar1:
      return MatClass::kChar;
    case ValueType::kReal8:
      break;
  }
  return MatClass::kDouble;
}

// Bytes of a value of the class in the MAT-file: a char is a UTF-16 unit.
inline constexpr std::size_t ClassSize(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
    case MatClass::kInt32:
      return 4;
    case MatClass::kInt8:
    case MatClass::kLogical:
      return 1;
    case MatClass::kInt16:
    case MatClass::kChar:
      return 2;
    case MatClass::kDouble:
    case MatClass::kInt64:
      break;
  }
  return 8;
}

// "single", as MATLAB's class() says it.
inline constexpr std::string_view ClassName(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return "single";
    case MatClass::kInt32:
      return "int32";
    case MatClass::kInt64:
      return "int64";
    case MatClass::kInt8:
      return "int8";
    case MatClass::kInt16:
      return "int16";
    case MatClass::kLogical:
      return "logical";
    case MatClass::kChar:
      return "char";
    case MatClass::kDouble:
      break;
  }
  return "double";
}

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_VALUE_TYPE_H_
