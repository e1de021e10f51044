// The record buffer and the matrix store of a matrix held in memory: the
// values each holds, which bound what loading may keep in memory too.
#ifndef UNF2MAT_COMMON_STORE_CAPACITY_H_
#define UNF2MAT_COMMON_STORE_CAPACITY_H_

#include <cstdint>

namespace unf2mat {

inline constexpr std::uint64_t kRecordCapacity = 10'000'000;
inline constexpr std::uint64_t kCoreCapacity = 50'000'000;

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_STORE_CAPACITY_H_
