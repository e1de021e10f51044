// How a record's bytes are read as fields: --record and --header give a
// layout such as "t:real8,u:real4(5,3),_:int4,k:int4(6,*)", --dims one field.
#ifndef UNF2MAT_LOADER_RECORD_LAYOUT_H_
#define UNF2MAT_LOADER_RECORD_LAYOUT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value_type.h"
#include "loader/layout.h"

namespace unf2mat {

struct LayoutField {
  std::string name;  // kSkippedField: read past, not kept
  ValueType type = ValueType::kReal4;
  std::vector<std::uint64_t> dims;  // none for a scalar
  // The last dimension is '*': the first data record fixes it, and dims
  // holds the others.
  bool open = false;

  bool skipped() const { return name == kSkippedField; }
  // Values in the field; of an open field, per step of its last dimension.
  std::uint64_t values() const;
  std::uint64_t bytes() const { return values() * ValueSize(type); }

  static constexpr std::string_view kSkippedField = "_";
};

struct RecordLayout {
  std::vector<LayoutField> fields;

  // Bytes of the fields but an open one, which comes last.
  std::uint64_t fixed_bytes() const;
  // Bytes per step of the open field's last dimension; 0 where none is open.
  std::uint64_t step_bytes() const;
  // Where field `k` starts in the record.
  std::uint64_t offset(std::size_t k) const;
};

// The largest record a layout may describe: no MAT-file element holds more.
inline constexpr std::uint64_t kMaxLayoutBytes = 0xFFFF'FFFF;

// Parses LAYOUT; `allow_open` lets the last field's last dimension be '*'.
// Empty on success; else the reason, naming the field.
std::optional<std::string> ParseLayout(std::string_view text, bool allow_open,
                                       RecordLayout* layout);

// Parses D1xD2[x...] (--dims).
std::optional<std::string> ParseDims(std::string_view text,
                                     std::vector<std::uint64_t>* dims);

// The value type a layout spells: "real4", "real8", "int4" or "int8".
std::optional<ValueType> ParseValueType(std::string_view text);

// The layout of the whole file that the options say: `skip` records passed
// by, a header record of `header`, then every record read by `record`, or,
// without it, plain rows of `type`. A field with no name (--dims, plain
// rows) is named after the data file.
Layout OptionsLayout(std::uint64_t skip,
                     const std::optional<RecordLayout>& header,
                     const std::optional<RecordLayout>& record, ValueType type);

// Plain rows of `type`, as the six control lines read them.
inline Layout RowsLayout(ValueType type) {
  return OptionsLayout(0, std::nullopt, std::nullopt, type);
}

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_RECORD_LAYOUT_H_
