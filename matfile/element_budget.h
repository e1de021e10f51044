// What one Level 5 element (a variable of a v6 or v7 MAT-file) holds, and
// what MATLAB loads of one: the bounds loading keeps each variable within,
// and the one warning past what MATLAB loads. A v7.3 file has none.
#ifndef UNF2MAT_MATFILE_ELEMENT_BUDGET_H_
#define UNF2MAT_MATFILE_ELEMENT_BUDGET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace unf2mat {

class ElementBudget {
 public:
  // The most values of `class_size` bytes an array of `rank` dimensions
  // whose name has `name_length` bytes holds.
  std::uint64_t MaxValues(std::uint64_t name_length, std::uint64_t rank,
                          std::size_t class_size) const;
  // The warning for variable `name`, an array of `rank` dimensions of
  // `values` values of `class_size` bytes, where MATLAB loads no element as
  // large; empty where it does.
  std::string Warning(std::string_view name, std::uint64_t rank,
                      std::uint64_t values, std::size_t class_size) const;
};

// The budget of v6 and v7 files.
inline constexpr ElementBudget kLevel5Budget;

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_ELEMENT_BUDGET_H_
