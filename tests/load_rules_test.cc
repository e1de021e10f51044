#include "loader/load_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "loader/layout_walk.h"
#include "loader/record_layout.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using Reason = LoadEnd::Reason;

// Records of these payload lengths (of zero bytes); -1 stands for a record
// whose trailing marker is damaged.
std::string Records(const std::vector<int>& lengths) {
  std::string bytes;
  for (int length : lengths) {
    if (length < 0) {
      bytes += test::WithByteFlipped(test::FramedRecord("12345678"), 12);
    } else {
      bytes += test::FramedRecord(std::string(length, '\0'));
    }
  }
  return bytes;
}

// Each rule of loading, as the walk meets it: the first record fixes the
// width, a shorter one stops, past a limit the file is refused. Plain rows
// of real4 within 3 values a record and 6 in all, unless a row says.
TEST(LoadRulesTest, EachRuleSaysWhatBecomesOfARecord) {
  const RecordLayout header{{{"h", ValueType::kInt4, {}, false}}};
  const RecordLayout twelve{{{"a", ValueType::kInt4, {3}, false}}};
  const RecordLayout open{
      {{"t", ValueType::kInt4, {}, false}, {"u", ValueType::kInt4, {2}, true}}};
  struct {
    const char* rule;
    std::vector<int> records;
    std::uint64_t rows, width;
    LoadEnd end = {};
    std::string refusal = "";
    std::optional<RecordLayout> header_layout = std::nullopt;
    std::optional<RecordLayout> record_layout = std::nullopt;
    std::uint64_t max_rows = UINT64_MAX;
  } const cases[] = {
      {"the first record fixes the width", {8, 8}, 2, 2},
      {"a partial value is no value", {11, 8}, 2, 2},
      {"a longer record gives its first values", {4, 12}, 2, 1},
      {"a shorter record stops, and nothing after it is taken",
       {8, 4, 8, 8},
       1,
       2,
       {Reason::kShortRecord, 2, 1, 16, 44, true}},
      {"a damaged record stops",
       {12, -1, 12},
       1,
       3,
       {Reason::kDamaged, 2, 0, 20, 36, true}},
      {"a damaged first record gives no matrix",
       {-1},
       0,
       0,
       {Reason::kDamaged, 1, 0, 0, 16, true}},
      {"an empty first record: rows of no values", {0, 5, 0}, 3, 0},
      {"a first record at the limit and a partial value", {15}, 1, 3},
      {"a first record over the limit",
       {16},
       0,
       0,
       {},
       "the first record of data file 'd' holds 4 values, over the limit of "
       "3; hint"},
      {"a matrix at the limit", {8, 8, 8}, 3, 2},
      {"a record past the matrix limit",
       {8, 8, 8, 12},
       0,
       0,
       {},
       "data file 'd' holds a matrix over the limit of 6 values; hint"},
      {"repeats past the matrix limit",
       {12, 12, 12},
       0,
       0,
       {},
       "data file 'd' holds a matrix over the limit of 6 values; hint"},
      // Records read by a layout of 12 bytes, after a header record.
      {"a record shorter than the layout stops, said in bytes",
       {4, 16, 8, 12},
       1,
       0,
       {Reason::kShortRecord, 3, 0, 36, 36, true, 8, 12},
       "",
       header,
       twelve},
      {"a first record shorter than the layout gives no rows",
       {8},
       0,
       0,
       {Reason::kShortRecord, 1, 0, 0, 16, true, 8, 12},
       "",
       std::nullopt,
       twelve},
      {"an open last field: the first record fixes its steps",
       {23, 20, 19},
       2,
       0,
       {Reason::kShortRecord, 3, 0, 59, 27, true, 19, 20},
       "",
       std::nullopt,
       open},
      {"reads past what a field's variable holds",
       {12, 12, 12},
       0,
       0,
       {},
       "data file 'd' holds more than 2 records of 'a', over what a "
       "MAT-file element holds; hint",
       std::nullopt,
       twelve,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const Layout layout =
        OptionsLayout(0, c.header_layout, c.record_layout, ValueType::kReal4);
    test::MemoryInputFile file(Records(c.records));
    WalkSetup setup;
    setup.file = &file;
    setup.size = file.Size();
    setup.name = "d";
    for (std::size_t v = 0; v < layout.variables.size(); ++v) {
      LoadLimits limits(3, 6, "; hint");
      if (c.record_layout) limits.matrix_values = 3 * c.max_rows;
      setup.limits.push_back(limits);
    }
    try {
      const WalkResult walk = WalkLayout(layout, setup);
      EXPECT_EQ(c.refusal, "");
      const std::uint32_t data = static_cast<std::uint32_t>(
          layout.variables.size() -
          (c.record_layout ? c.record_layout->fields.size() : 1));
      EXPECT_EQ(walk.variables[data].reads, c.rows);
      if (layout.rows) {
        EXPECT_EQ(walk.columns, c.width);
      }
      EXPECT_EQ(walk.end, c.end);
    } catch (const RunError& e) {
      EXPECT_EQ(e.what(), c.refusal);
    }
  }
}

// Records of no values cost nothing to keep, but a source of them without
// end must end.
TEST(LoadRulesTest, RecordsOfNoValuesEnd) {
  LoadRules rules(std::nullopt);
  EXPECT_EQ(rules.Empty(kMaxEmptyRecords), LoadRules::Verdict::kTake);
  EXPECT_EQ(rules.Empty(1), LoadRules::Verdict::kRefuse);
  EXPECT_EQ(rules.RefusalMessage("d"),
            "data file 'd' holds more than 50000000 records of no values");
}

// What fits is what the MAT-file's element holds, and what MATLAB loads of
// it: 2^32 - 1 bytes in all and 2^31 bytes, with 48 bytes of tags and a
// name padded to 8 bytes when it has more than 4.
TEST(LoadRulesTest, LimitsFollowTheElementSize) {
  EXPECT_EQ(ElementLimits(kLevel5Budget, 4).matrix_values, 536'870'905u);
  EXPECT_EQ(ElementLimits(kLevel5Budget, 5).record_values, 536'870'904u);
  EXPECT_TRUE(Within(ElementLimits(kLevel5Budget, 1), 1, 536'870'905));
  EXPECT_FALSE(Within(LoadLimits{}, 50'000'001, 1));
  const struct {
    const char* name;
    std::uint64_t values;
    bool warns;
  } cases[] = {
      {"abcd", 268'435'450, false},  // 48 + 8n = 2^31 exactly
      {"abcd", 268'435'451, true},
      {"abcde", 268'435'449, false},
      {"abcde", 268'435'450, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.values);
    EXPECT_EQ(kLevel5Budget.Warning(c.name, 2, c.values, 8).empty(), !c.warns);
  }
}

}  // namespace
}  // namespace unf2mat
