#include "matfile/element_budget.h"

#include <algorithm>

#include "common/run_error.h"
#include "matfile/mat_format.h"

namespace unf2mat {

std::uint64_t ElementBudget::MaxValues(std::uint64_t name_length,
                                       std::uint64_t rank,
                                       std::size_t class_size) const {
  return mat::MaxValueBytes(name_length, std::max<std::uint64_t>(rank, 2)) /
         class_size;
}

std::string ElementBudget::Warning(std::string_view name, std::uint64_t rank,
                                   std::uint64_t values,
                                   std::size_t class_size) const {
  const std::uint64_t bytes = mat::ElementBytes(
      name.size(), std::max<std::uint64_t>(rank, 2), values * class_size);
  if (bytes <= mat::kMatlabElementBytes) return "";
  return "variable " + Quote(name) + " takes " + std::to_string(bytes) +
         " bytes, over the 2 GB that MATLAB loads of a Level 5 variable; "
         "Octave and scipy read it, and --format v7.3 writes one that MATLAB "
         "loads";
}

}  // namespace unf2mat
