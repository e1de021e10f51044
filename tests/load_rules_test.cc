#include "loader/load_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace unf2mat {
namespace {

using Verdict = LoadRules::Verdict;
using Reason = LoadEnd::Reason;

// One thing a loader tells the rules, and the verdict it must get.
struct Step {
  enum Kind { kClaim, kRecord, kRepeats, kDamaged } kind;
  std::uint64_t n;  // bytes; repeats; offset where damaged
  std::uint64_t offset = 0;
  Verdict verdict = Verdict::kTake;
};

Step Claim(std::uint64_t bytes, Verdict v = Verdict::kTake) {
  return {Step::kClaim, bytes, 0, v};
}
Step Rec(std::uint64_t bytes, std::uint64_t offset = 0,
         Verdict v = Verdict::kTake) {
  return {Step::kRecord, bytes, offset, v};
}
Step Repeats(std::uint64_t n, Verdict v = Verdict::kTake) {
  return {Step::kRepeats, n, 0, v};
}
Step Damaged(std::uint64_t offset) { return {Step::kDamaged, offset}; }

// Real4 values; a matrix of at most 3 values a record and 6 in all, in a
// file of 100 bytes unless it is a pipe.
TEST(LoadRulesTest, EachRuleSaysWhatBecomesOfARecord) {
  constexpr Verdict kStop = Verdict::kStop, kRefuse = Verdict::kRefuse;
  const std::uint64_t many = kMaxEmptyRecords;
  struct {
    const char* rule;
    std::vector<Step> steps;
    std::uint64_t rows, width;
    LoadEnd end = {};
    std::string refusal = "";
    bool pipe = false;
    RowShape shape = {0, 4};   // plain rows of real4
    std::uint64_t before = 0;  // records ahead of the data ones
    std::uint64_t max_rows = UINT64_MAX;
  } const cases[] = {
      {"the first record fixes the width", {Rec(8), Rec(8)}, 2, 2},
      {"a partial value is no value", {Rec(11), Rec(8)}, 2, 2},
      {"a longer record gives its first values", {Rec(4), Rec(12)}, 2, 1},
      {"a shorter record stops, and nothing after it is taken",
       {Rec(8, 0), Rec(4, 16, kStop), Rec(8, 28, kStop), Repeats(2, kStop)},
       1,
       2,
       {Reason::kShortRecord, 2, 1, 16, 84, true}},
      {"from a pipe the rest is not known",
       {Rec(8, 0), Rec(4, 16, kStop)},
       1,
       2,
       {Reason::kShortRecord, 2, 1, 16, 0, false},
       "",
       true},
      {"a damaged record stops",
       {Rec(12, 0), Damaged(20), Rec(12, 40, kStop)},
       1,
       3,
       {Reason::kDamaged, 2, 0, 20, 80, true}},
      {"a damaged first record gives no matrix",
       {Damaged(0)},
       0,
       0,
       {Reason::kDamaged, 1, 0, 0, 100, true}},
      {"an empty first record: rows of no values",
       {Rec(0), Rec(5), Rec(0)},
       3,
       0},
      {"a first record claimed at the limit and a partial value",
       {Claim(15)},
       0,
       0},
      {"a first record claimed over the limit",
       {Claim(16, kRefuse)},
       0,
       0,
       {},
       "the first record of data file 'd' holds 4 values, over the limit of "
       "3; hint"},
      {"a first record read over the limit",
       {Rec(16, 0, kRefuse)},
       0,
       0,
       {},
       "the first record of data file 'd' holds 4 values, over the limit of "
       "3; hint"},
      {"a matrix at the limit", {Rec(8), Repeats(2)}, 3, 2},
      {"a record past the matrix limit",
       {Rec(8), Rec(8), Rec(8), Rec(12, 0, kRefuse)},
       4,
       2,
       {},
       "data file 'd' holds a matrix over the limit of 6 values; hint"},
      {"repeats past the matrix limit",
       {Rec(12), Repeats(2, kRefuse)},
       3,
       3,
       {},
       "data file 'd' holds a matrix over the limit of 6 values; hint"},
      {"records of no values at their limit",
       {Rec(0), Repeats(many - 1)},
       many,
       0},
      {"records of no values past their limit",
       {Rec(0), Repeats(many - 1), Rec(0, 0, kRefuse)},
       many + 1,
       0,
       {},
       "data file 'd' holds more than 50000000 records of no values"},
      // Records read by a layout of 12 bytes, after a header record.
      {"a record shorter than the layout stops, said in bytes",
       {Rec(16, 8), Rec(8, 32, kStop)},
       1,
       0,
       {Reason::kShortRecord, 3, 0, 32, 68, true, 8, 12},
       "",
       false,
       {12, 0, true},
       1},
      {"a first record shorter than the layout gives no rows",
       {Rec(8, 0, kStop)},
       0,
       0,
       {Reason::kShortRecord, 1, 0, 0, 100, true, 8, 12},
       "",
       false,
       {12, 0, true}},
      {"an open last field: the first record fixes its steps",
       {Rec(23, 0), Rec(20, 31), Rec(19, 59, kStop)},
       2,
       2,
       {Reason::kShortRecord, 3, 0, 59, 41, true, 19, 20},
       "",
       false,
       {4, 8, true}},
      {"rows past what the layout's variables hold",
       {Rec(12), Repeats(1), Rec(12, 0, kRefuse)},
       3,
       0,
       {},
       "data file 'd' holds more than 2 records, over what a MAT-file element "
       "holds; hint",
       false,
       {12, 0, true},
       0,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    LoadLimits limits(3, 6, "; hint");
    limits.max_rows = c.max_rows;
    LoadRules rules(limits, c.shape, c.before,
                    c.pipe ? std::nullopt : std::optional<std::uint64_t>(100));
    EXPECT_EQ(rules.first_record_bytes_limit(),
              c.shape.step_bytes == 0
                  ? c.shape.fixed_bytes
                  : c.shape.fixed_bytes + 4 * c.shape.step_bytes - 1);
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case Step::kClaim:
          EXPECT_EQ(rules.Claim(step.n), step.verdict);
          break;
        case Step::kRecord:
          EXPECT_EQ(rules.Record(step.n, step.offset), step.verdict);
          break;
        case Step::kRepeats:
          EXPECT_EQ(rules.Repeats(step.n), step.verdict);
          break;
        case Step::kDamaged:
          rules.Damaged(step.n);
          break;
      }
    }
    EXPECT_EQ(rules.rows(), c.rows);
    EXPECT_EQ(rules.width(), c.width);
    EXPECT_EQ(rules.end(), c.end);
    EXPECT_EQ(c.refusal.empty() ? "" : rules.RefusalMessage("d"), c.refusal);
  }
}

// What fits is what the MAT-file's element holds, and what MATLAB loads of
// it: 2^32 - 1 bytes in all and 2^31 bytes, with 48 bytes of tags and a
// name padded to 8 bytes when it has more than 4.
TEST(LoadRulesTest, LimitsFollowTheElementSize) {
  EXPECT_EQ(ElementLimits(4).matrix_values, 536'870'905u);
  EXPECT_EQ(ElementLimits(5).record_values, 536'870'904u);
  EXPECT_TRUE(Within(ElementLimits(1), 1, 536'870'905));
  EXPECT_FALSE(Within(LoadLimits{}, 50'000'001, 1));
  const struct {
    std::uint64_t name_length, values;
    bool warns;
  } cases[] = {
      {4, 268'435'450, false},  // 48 + 8n = 2^31 exactly
      {4, 268'435'451, true},
      {5, 268'435'449, false},
      {5, 268'435'450, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.values);
    EXPECT_EQ(ElementSizeWarning("d", c.name_length, c.values).empty(),
              !c.warns);
  }
}

}  // namespace
}  // namespace unf2mat
