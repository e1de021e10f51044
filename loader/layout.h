// A layout: what the records of a whole data file hold, statement by
// statement, as the Fortran WRITE statements that wrote them read:
//
//   record quantity: char(30)              # one record of 30 characters
//   record i1, i2, j1, j2: int4            # one record of four integers
//   repeat {                               # until the file ends
//     record time: real4
//     record q: real4(i2-i1+1, j2-j1+1)    # sizes read from the file
//   }
//
// Groups repeat a count of times (`repeat n`, `repeat b = 1, n`) or until
// the file ends; `either { ... } or { ... }` takes the first branch whose
// first record is as long as the next one; `skip n` passes records by.
// Every named field is a variable of the MAT-file. The grammar and the
// rules of a layout's text are in layout_parse.cc.
#ifndef UNF2MAT_LOADER_LAYOUT_H_
#define UNF2MAT_LOADER_LAYOUT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value_type.h"

namespace unf2mat {

// Where a piece of a layout's text is, for messages: from 1.
struct TextPlace {
  int line = 0;
  int column = 0;
};

// An integer expression of literals, integer fields read before it and the
// indices of enclosing groups.
struct Expr {
  enum class Kind : std::uint8_t {
    kNumber,
    kField,  // a variable's last value read, or, with subscripts, one of them
    kIndex,  // the repetition of a `repeat b = ...` group
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kNegate
  };
  Kind kind = Kind::kNumber;
  std::int64_t number = 0;
  std::uint32_t ref = 0;   // the variable (kField) or the index (kIndex)
  std::vector<Expr> args;  // operands, or a field's subscripts
  // With rank + 1 subscripts, the last one picks which value read of the
  // field, counted from 1 over the whole file; else the last value read.
  bool picks_read = false;
  TextPlace at;
  std::string text;  // as written, for messages
};

// A dimension: an expression, or '*' (as many as the record holds).
struct Dim {
  bool open = false;
  Expr size;
};

struct FieldDecl {
  std::string name;  // "_": read past, not kept
  std::uint32_t variable = 0;
  ValueType type = ValueType::kReal4;  // of a complex field, of each part
  bool complex = false;
  std::optional<Expr> length;  // of each string of a char field
  std::vector<Dim> dims;       // none for one value (one string)
  TextPlace at;
  bool skipped() const { return name == kSkipped; }
  bool open() const { return !dims.empty() && dims.back().open; }
  // Bytes of each value (each string's character count is not in it).
  std::size_t value_bytes() const {
    return ValueSize(type) * (complex ? 2 : 1);
  }
  static constexpr std::string_view kSkipped = "_";
};

struct Statement;
using Block = std::vector<Statement>;

struct Statement {
  enum class Kind : std::uint8_t { kRecord, kSkip, kRepeat, kEither };
  Kind kind = Kind::kRecord;
  TextPlace at;
  std::uint32_t id = 0;  // numbered in the order of the text
  // kRecord
  std::vector<FieldDecl> fields;
  // kSkip: how many records (1 if none); kRepeat: how many times (until the
  // file ends if none).
  std::optional<Expr> count;
  // kRepeat with an index: `repeat b = first, last`.
  std::optional<std::uint32_t> index;
  std::optional<Expr> first;
  // kRepeat: the body; kEither: the branches.
  std::vector<Block> blocks;
};

// A variable of the MAT-file: every field of that name.
struct LayoutVariable {
  std::string name;
  ValueType type = ValueType::kReal4;  // of its first field
  bool complex = false;
  bool is_char = false;
  std::size_t rank = 0;  // its fields' dimensions
  // Some expression asks for a value read before the last one.
  bool keep_all_values = false;
  // Its value is asked for by some expression: read as the walk goes.
  bool sized_by = false;
  // The groups it is read in, outermost first, by their statement ids.
  std::vector<std::uint32_t> groups;
  TextPlace at;  // of its first field
  // The branches of eithers each of its fields is in, as (either id,
  // branch): it is written where one of its fields' branches all ran.
  std::vector<std::vector<std::pair<std::uint32_t, std::size_t>>> branches;
  // Its first field's dimensions and string length where they are numbers,
  // else 0: the shape of an array of no reads.
  std::vector<std::uint64_t> literal_dims;
  std::uint64_t literal_length = 0;
};

struct Layout {
  Block body;
  // Each statement by its id.
  std::vector<const Statement*> ById() const;
  std::vector<LayoutVariable> variables;
  std::vector<std::string> indices;  // the names of groups' indices
  std::uint32_t statements = 0;
  // The variable of a data file's plain rows (no options, --type, --skip or
  // --header alone): each record a row of it, not a column.
  std::optional<std::uint32_t> rows;
  // Said in messages: "layout 'fds-slice'", "--record 'a:real4'".
  std::string origin;
};

// The layout `text` says; where it is not one, the usage error naming the
// line and column, after `origin`.
struct LayoutOrError {
  std::optional<Layout> layout;
  std::string error;
};
LayoutOrError ParseLayoutText(std::string_view text, std::string origin);

// The value type a field's type spells: "real4", "int2", ...; complex8 and
// complex16 are their parts' types with *complex set.
std::optional<ValueType> ParseFieldType(std::string_view text, bool* complex);

// Whether MATLAB takes `name` as a variable name: a letter, then letters,
// digits or underscores, at most 63 in all.
bool IsMatlabName(std::string_view name);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LAYOUT_H_
