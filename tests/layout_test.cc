#include "loader/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "common/widen_values.h"
#include "loader/shipped_layouts.h"
#include "loader/variables.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

// Payload bytes of values in the host's order.
template <typename T>
std::string Of(std::initializer_list<T> values) {
  std::string bytes;
  for (T v : values) bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
  return bytes;
}
std::string I4(std::initializer_list<std::int32_t> v) { return Of(v); }
std::string R4(std::initializer_list<float> v) { return Of(v); }
std::string R8(std::initializer_list<double> v) { return Of(v); }
std::string Rec(const std::string& payload) {
  return test::FramedRecord(payload);
}

// Each construct of the text, and each mistake, named by line and column.
TEST(LayoutTest, ParsesEachConstructAndNamesEachMistake) {
  struct {
    const char* text;
    std::string result;  // the variables' names, or the error
  } const cases[] = {
      {"record a, b: int4, c: real8(2,*)", "a b c"},
      {"record s: char(8), z: complex16(3), ok: logical4, i: int1, j: int2",
       "s z ok i j"},
      {"# a comment\nrecord n: int4  # and another\nrecord x: real4(n*2-1)",
       "n x"},
      {"record n: int4; repeat n { record x: real4 }", "n x"},
      {"record n: int4\nrepeat b = 1, n {\n  record d: int4(3)\n  record v: "
       "real4(d(1), d(2,b))\n}",
       "n d v"},
      {"repeat {\n  record t: real4,\n         q: real4(4)\n}", "t q"},
      {"either {\n record n: int4\n}\nor {\n record n: int4, m: int4\n}",
       "n m"},
      {"skip 2\nskip\nrecord _: int4, a: int4", "a"},
      {"record a: real16",
       "--layout, line 1, column 11: type 'real16' is not "
       "real4, real8, int1, int2, int4, int8, complex8, "
       "complex16, logical4 or char(N)"},
      {"record a: int4 $",
       "--layout, line 1, column 16: unexpected "
       "character '$'"},
      {"record a, a: int4",
       "--layout, line 1, column 11: name 'a' is given "
       "twice in one record"},
      {"record a: int4\nrecord a: int4",
       "--layout, line 2, column 8: name "
       "'a' is given twice (line 1); only "
       "another branch of an either may "
       "read it again"},
      {"record 1a: int4",
       "--layout, line 1, column 8: expected a field's "
       "name, not '1'"},
      {"record a: real4(*), b: int4",
       "--layout, line 1, column 17: only the "
       "last field of a record may have a "
       "'*' dimension"},
      {"record a: real4(*, 2)",
       "--layout, line 1, column 17: only the last "
       "dimension may be '*'"},
      {"repeat {\n record a: int4",
       "--layout, line 2, column 16: a '{' is "
       "not closed by a '}'"},
      {"record a: int4\n}",
       "--layout, line 2, column 1: a '}' closes no "
       "'{'"},
      {"record n: int4\nrepeat { repeat 2 { } }",
       "--layout, line 2, column 23: a group that repeats until the file "
       "ends must read a record"},
      {"either { record a: int4 }",
       "--layout, line 1, column 26: either "
       "needs an 'or' and a second branch"},
      {"record n: int4\neither { skip } or { record a: int4 }",
       "--layout, line 2, column 10: each branch of either starts with a "
       "record, whose length chooses it"},
      {"record a: real4(n)",
       "--layout, line 1, column 17: no field 'n' is "
       "read before this, nor is it a group's index"},
      {"record t: real4\nrecord a: real4(t)",
       "--layout, line 2, column 17: "
       "field 't' is real4: a size or "
       "a count comes from an "
       "integer field"},
      {"record d: int4(3)\nrecord a: real4(d)",
       "--layout, line 2, column 17: "
       "field 'd' has 1 dimensions: "
       "give 1 subscripts for its "
       "last value read, or one "
       "more for which value read"},
      {"record _: int4",
       "--layout, line 1, column 1: the layout keeps no "
       "field"},
      {"repeat b = 1, 2 { repeat b = 1, 2 { record a: int4 } }",
       "--layout, line 1, column 26: index 'b' is in use by a group this one "
       "is in"},
      {"record a: int4(99999999999999999)",
       "--layout, line 1, column 16: "
       "number 99999999999999999 is "
       "too large"},
      {"record x: int4 record",
       "--layout, line 1, column 16: expected the "
       "end of the statement, not 'record'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const LayoutOrError parsed = ParseLayoutText(c.text, "--layout");
    std::string result = parsed.error;
    if (parsed.layout) {
      for (const LayoutVariable& v : parsed.layout->variables) {
        result += (result.empty() ? "" : " ") + v.name;
      }
    }
    EXPECT_EQ(result, c.result);
  }
  for (const ShippedLayout& shipped : ShippedLayouts()) {
    SCOPED_TRACE(shipped.name);
    EXPECT_EQ(ParseLayoutText(shipped.text, "").error, "");
  }
}

// What a conversion makes of a file: each variable's dimensions, class and
// values (cells each in braces), and the warnings; or the failure.
std::string Convert(const std::string& text, const std::string& bytes,
                    ClassChoice classes = ClassChoice::kDouble) {
  LoadRequest request;
  LayoutOrError parsed = ParseLayoutText(text, "L");
  if (!parsed.layout) return parsed.error;
  request.layout = std::make_shared<const Layout>(std::move(*parsed.layout));
  request.classes = classes;
  test::StringOutputFile warnings;
  std::string out;
  std::function<void(const MatVariable&)> show = [&](const MatVariable& v) {
    std::vector<std::uint64_t> dims = v.shape();
    for (std::size_t k = 0; k < dims.size(); ++k) {
      if (k > 0) out += 'x';
      out += std::to_string(dims[k]);
    }
    if (v.cells != nullptr) {
      for (std::uint64_t k = 0; k < v.rows * v.columns; ++k) {
        out += " {";
        show(v.cells->Cell(k, true));
        out += "}";
      }
      return;
    }
    out += std::string(" ") + std::string(ClassName(v.mat_class)) +
           (v.complex ? " complex" : "");
    const std::uint64_t rows = v.rows * (v.complex ? 2 : 1);
    if (rows * v.columns == 0) return;
    std::vector<char> staging(8 * rows * v.columns);
    const char* values = v.values->Fill(0, rows, 0, v.columns, staging.data());
    std::vector<double> widened(rows * v.columns);
    WidenValues(v.values->element(), values, widened.size(), widened.data());
    out += ":";
    for (double x : widened) {
      out += ' ';
      if (v.mat_class == MatClass::kChar) {
        out += static_cast<char>(x);
      } else {
        const std::string number = std::to_string(x);
        out += number.substr(0, number.find(".000000"));
      }
    }
  };
  try {
    LoadedVariables loaded = LoadVariables(
        {{"d.dat", "d"}}, request,
        [&](const std::string&) {
          return std::make_unique<test::MemoryInputFile>(bytes);
        },
        {}, {"/tmp"}, warnings);
    for (const Variable& v : loaded.variables) {
      out += v.name + " ";
      show(v.View());
      out += "; ";
    }
  } catch (const RunError& e) {
    return std::string("error: ") + e.what();
  }
  return out + warnings.data();
}

// Each construct of the walk, and each way a file may not hold what the
// layout reads.
TEST(LayoutTest, WalksEachConstruct) {
  const std::string header = Rec(I4({2})) + Rec(I4({1, 3}));
  struct {
    const char* construct;
    const char* text;
    std::string bytes;
    std::string result;
  } const cases[] = {
      {"sizes read from the file; steps until the end",
       "record n: int4\nrepeat {\n record t: real4\n record q: real4(n)\n}",
       Rec(I4({2})) + Rec(R4({0.5})) + Rec(R4({1, 2})) + Rec(R4({1.5})) +
           Rec(R4({3, 4})),
       "n 1x1 double: 2; t 2x1 double: 0.500000 1.500000; q 2x2 double: 1 2 "
       "3 4; "},
      {"a count and an index; cells where the shape changes with it",
       "record np: int4\nrepeat p = 1, np { record a, b: int4 }\nrepeat {\n "
       "repeat p = 1, np { record v: real4(b(p)-a(p)+1) }\n}",
       header + Rec(I4({5, 5})) + Rec(R4({1, 2, 3})) + Rec(R4({4})) +
           Rec(R4({5, 6, 7})) + Rec(R4({8})),
       "np 1x1 double: 2; a 2x1 double: 1 5; b 2x1 double: 3 5; v 2x1 {3x2 "
       "double: 1 2 3 5 6 7} {1x2 double: 4 8}; "},
      {"groups within groups stack, the innermost first",
       "repeat 2 { repeat 3 { record x: int4(2) } }",
       Rec(I4({1, 2})) + Rec(I4({3, 4})) + Rec(I4({5, 6})) + Rec(I4({7, 8})) +
           Rec(I4({9, 10})) + Rec(I4({11, 12})),
       "x 2x3x2 double: 1 2 3 4 5 6 7 8 9 10 11 12; "},
      {"a count that changes: a cell per repetition",
       "repeat {\n record n: int4\n repeat n { record x: int4 }\n}",
       Rec(I4({1})) + Rec(I4({7})) + Rec(I4({2})) + Rec(I4({8})) + Rec(I4({9})),
       "n 2x1 double: 1 2; x 2x1 {1x1 double: 7} {2x1 double: 8 9}; "},
      {"either by the record's length; fields of branches not taken are "
       "none",
       "either { record n: int4 } or { record d: int4(2) }\nrecord x: "
       "real8(2)",
       Rec(I4({2, 3})) + Rec(R8({0.25, 4})),
       "d 2x1 double: 2 3; x 2x1 double: 0.250000 4; "},
      {"an open last field after fixed ones: its steps from what is left",
       "repeat { record t: real8, u: real4(2, *) }",
       Rec(R8({0.5}) + R4({1, 2, 3, 4})) + Rec(R8({1.5}) + R4({5, 6, 7, 8})),
       "t 2x1 double: 0.500000 1.500000; u 2x2x2 double: 1 2 3 4 5 6 7 8; "},
      {"characters, a row each; complex and logical values",
       "repeat { record s: char(3), z: complex8, ok: logical4 }",
       Rec("ab " + R4({1, -2}) + I4({-1})) + Rec("cd!" + R4({3, 4}) + I4({0})),
       "s 2x3 char: a c b d   !; z 2x1 double complex: 1 -2 3 4; ok 2x1 "
       "logical: 1 0; "},
      {"records skipped, and what a record holds past the layout",
       "skip 1; record a: int2", Rec("xx") + Rec(Of<std::int16_t>({-3, 4})),
       "a 1x1 double: -3; unf2mat: warning: record 2 of data file 'd.dat' "
       "holds 2 bytes more than the record on line 1 of L reads, which were "
       "not read\n"},
      {"records after all the layout reads", "record a: int4",
       Rec(I4({1})) + Rec(I4({2})),
       "a 1x1 double: 1; unf2mat: warning: data file 'd.dat' holds more than "
       "L reads: record 2 and any after it, from byte offset 12, were not "
       "read\n"},
      {"a file cut inside a repetition keeps the whole ones",
       "repeat { record t: real4; record q: int4(2) }",
       Rec(R4({1})) + Rec(I4({1, 2})) + Rec(R4({2})),
       "t 1x1 double: 1; q 2x1 double: 1 2; unf2mat: warning: loading of data "
       "file 'd.dat' stopped at the end of the file, where the statement on "
       "line 1 of L reads record 4; the repetition it ends, from record 3, "
       "was dropped\n"},
      {"a record no branch reads ends the group",
       "repeat { either { record a: int4 } or { record b: real8 } }",
       Rec(I4({1})) + Rec(R8({2})) + Rec(R4({1, 2, 3})),
       "a 2x1 {1x1 double: 1} {0x0 double}; b 2x1 {0x0 double} {1x1 double: "
       "2}; unf2mat: warning: loading of data "
       "file 'd.dat' stopped at record 3, which holds 12 bytes, a length no "
       "branch of the either on line 1 of L reads; 20 bytes of the file were "
       "not read\n"},
      {"damaged framing inside a group ends it", "repeat { record a: int4 }",
       Rec(I4({1})) + test::WithByteFlipped(Rec(I4({2})), 9),
       "a 1x1 double: 1; unf2mat: warning: loading of data file 'd.dat' "
       "stopped at record 2, whose framing is damaged, at byte offset 12; 12 "
       "bytes of the file were not read\n"},
      {"a record too short outside any group that repeats until the end",
       "record n: int4; record q: real4(n)", Rec(I4({3})) + Rec(R4({1, 2})),
       "error: data file 'd.dat' does not hold what L reads: record 2, which "
       "holds 8 bytes, fewer than the 12 the record on line 1 of L reads"},
      {"a negative size", "record a, b: int4; record q: real4(b-a+1)",
       Rec(I4({5, 2})) + Rec(""),
       "error: data file 'd.dat': a dimension of field 'q' on line 1 of L, "
       "b-a+1, is -2 (from 'b' of record 1, 'a' of record 1): a size cannot "
       "be negative; nothing was written"},
      {"a negative count", "record n: int4; repeat n { record a: int4 }",
       Rec(I4({-5})) + Rec(I4({1})),
       "error: data file 'd.dat', record 2: the count of the group on line 1 "
       "of L, n, is -5: a count cannot be negative; nothing was written"},
      {"a count past what a dimension holds",
       "record n: int8; repeat n { record a: int4 }",
       Rec(Of<std::int64_t>({std::int64_t{1} << 31})) + Rec(I4({1})),
       "error: data file 'd.dat', record 2: the count of the group on line 1 "
       "of L, n, is 2147483648, past the 2147483647 a MAT-file dimension "
       "holds; nothing was written"},
      {"a product of sizes past any record",
       "record n: int4; record q: real8(n, n, n, n)",
       Rec(I4({1 << 30})) + Rec(""),
       "error: data file 'd.dat', record 2: field 'q' on line 1 of L would "
       "hold more than 4611686018427387904 bytes; nothing was written"},
      {"a division by zero", "record n: int4; record q: real4(4/n)",
       Rec(I4({0})) + Rec(""),
       "error: data file 'd.dat', record 2: a dimension: 4/n divides by 0"},
      {"a subscript outside the values read",
       "record d: int4(2); record q: real4(d(3))", Rec(I4({1, 2})) + Rec(""),
       "error: data file 'd.dat', record 2: a dimension: subscript 1 of d(3) "
       "is 3, outside 1 to 2"},
      {"a group that reads no record cannot repeat without end",
       "record n: int4\nrepeat { repeat n { record a: int4 } }",
       Rec(I4({0})) + Rec(I4({1})),
       "error: L: the group on line 2 of L read no record of data file "
       "'d.dat' in a repetition, and would repeat without end"},
      {"--class native keeps each type",
       "record i: int1, j: int2, k: int8, r: real4, d: real8, z: complex8",
       Rec(Of<std::int8_t>({-1}) + Of<std::int16_t>({-2}) +
           Of<std::int64_t>({-3}) + R4({0.5}) + R8({0.25}) + R4({1, 2})),
       "i 1x1 int8: -1; j 1x1 int16: -2; k 1x1 int64: -3; r 1x1 single: "
       "0.500000; d 1x1 double: 0.250000; z 1x1 single complex: 1 2; "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.construct);
    EXPECT_EQ(Convert(c.text, c.bytes,
                      std::string(c.construct).starts_with("--class")
                          ? ClassChoice::kNative
                          : ClassChoice::kDouble),
              c.result);
  }
}

}  // namespace
}  // namespace unf2mat
