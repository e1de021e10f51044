// The values a layout's sizes and counts are made of as its walk goes: the
// integer fields read so far and the groups' indices; and the evaluation of
// the layout's expressions over them.
#ifndef UNF2MAT_LOADER_LAYOUT_VALUES_H_
#define UNF2MAT_LOADER_LAYOUT_VALUES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/value_type.h"
#include "loader/layout.h"

namespace unf2mat {

class LayoutValues {
 public:
  explicit LayoutValues(const Layout& layout)
      : layout_(&layout), held_(layout.variables.size()) {}

  // Values read for sizes and counts are held in memory; a file cannot make
  // them more than this.
  static constexpr std::uint64_t kMaxHeld = std::uint64_t{1} << 22;

  // Holds `variable`'s read from record `record`: integers of `type` at
  // `bytes`, in the file's byte order (`swapped` from the host's), an array
  // of `dims`. False where more would be held than kMaxHeld.
  bool Hold(std::uint32_t variable, ValueType type,
            const std::vector<std::uint64_t>& dims, const char* bytes,
            bool swapped, std::uint64_t record);
  void SetIndex(std::uint32_t index, std::int64_t value);

  // The value of `e`; none, with *why, where it has none (a field not read
  // yet, a subscript outside it, a division by 0, an overflow).
  std::optional<std::int64_t> Eval(const Expr& e, std::string* why) const;

  // The fields `e` names, with the records their last values came from:
  // "'i2' of record 4, 'i1' of record 4".
  std::string Sources(const Expr& e) const;

 private:
  // The values of an integer field.
  struct Held {
    bool has = false;
    std::vector<std::int64_t> last;
    std::vector<std::uint64_t> last_dims;
    std::uint64_t record = 0;  // of the last read
    // Every read's, where some expression picks one: end to end.
    std::vector<std::int64_t> all;
    std::vector<std::uint64_t> starts;
    std::vector<std::vector<std::uint64_t>> dims;
  };

  std::optional<std::int64_t> FieldValue(const Expr& e, std::string* why) const;

  const Layout* layout_;
  std::vector<Held> held_;
  std::vector<std::int64_t> indices_;
  std::uint64_t kept_ = 0;  // values held of every read
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LAYOUT_VALUES_H_
