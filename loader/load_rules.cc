#include "loader/load_rules.h"

#include <algorithm>
#include <utility>

#include "common/run_error.h"
#include "matfile/element_budget.h"

namespace unf2mat {

LoadLimits ElementLimits(const ElementBudget& budget,
                         std::uint64_t name_length) {
  const std::uint64_t most = budget.MaxValues(name_length, 2, sizeof(double));
  return {most, most, std::string(kLevel5Hint)};
}

bool Within(const LoadLimits& limits, std::uint64_t rows,
            std::uint64_t columns) {
  return columns <= limits.record_values &&
         (columns == 0 || rows <= limits.matrix_values / columns);
}

std::string Refusal::Reason() const {
  const std::string of_field = field.empty() ? "" : " of " + Quote(field);
  switch (limit) {
    case Limit::kFirstRecord:
      return "the first record holds " + std::to_string(values) + " values" +
             of_field + ", over the limit of " + std::to_string(bound);
    case Limit::kMatrix:
      return "over the limit of " + std::to_string(bound) + " values";
    case Limit::kRecords:
      return "more than " + std::to_string(bound) + " records" + of_field +
             ", over what a MAT-file element holds";
    case Limit::kEmptyRecords:
      break;
  }
  return "more than " + std::to_string(bound) + " records of no values";
}

std::string Refusal::Message(std::string_view name,
                             std::string_view hint) const {
  const std::string of_field = field.empty() ? "" : " of " + Quote(field);
  switch (limit) {
    case Limit::kFirstRecord:
      return "the first record of data file " + Quote(name) + " holds " +
             std::to_string(values) + " values" + of_field +
             ", over the limit of " + std::to_string(bound) + std::string(hint);
    case Limit::kMatrix:
      return "data file " + Quote(name) + " holds a matrix over the limit of " +
             std::to_string(bound) + " values" + std::string(hint);
    case Limit::kRecords:
      return "data file " + Quote(name) + " holds " + Reason() +
             std::string(hint);
    case Limit::kEmptyRecords:
      break;
  }
  // No hint: a regular file holds no more of them.
  return "data file " + Quote(name) + " holds " + Reason();
}

LoadRules::Verdict LoadRules::Claim(std::uint64_t steps,
                                    const LoadLimits& limits,
                                    const std::string& field) {
  if (steps <= limits.record_values) return Verdict::kTake;
  hint_ = limits.hint;
  return Refuse(
      {Refusal::Limit::kFirstRecord, steps, limits.record_values, field});
}

LoadRules::Verdict LoadRules::Record(const RecordAt& record,
                                     const RecordNeed& need) {
  if (done_) return Verdict::kStop;
  if (record.bytes >= need.bytes) return Verdict::kTake;
  Stop(LoadEnd::Reason::kShortRecord, record, need);
  return Verdict::kStop;
}

LoadRules::Verdict LoadRules::Grow(std::uint64_t reads, std::uint64_t after,
                                   std::uint64_t each, const LoadLimits& limits,
                                   const std::string& field, bool plain_rows) {
  hint_ = limits.hint;
  if (reads > limits.max_rows) {
    return Refuse({Refusal::Limit::kRecords, 0, limits.max_rows, field});
  }
  if (after <= limits.matrix_values) return Verdict::kTake;
  if (plain_rows) {
    return Refuse({Refusal::Limit::kMatrix, 0, limits.matrix_values, ""});
  }
  return Refuse({Refusal::Limit::kRecords, 0,
                 each == 0 ? 0 : limits.matrix_values / each, field});
}

LoadRules::Verdict LoadRules::Empty(std::uint64_t n) {
  empty_ += n;
  if (empty_ <= kMaxEmptyRecords) return Verdict::kTake;
  return Refuse({Refusal::Limit::kEmptyRecords, 0, kMaxEmptyRecords, ""});
}

void LoadRules::Damaged(const RecordAt& record) {
  if (!done_) Stop(LoadEnd::Reason::kDamaged, record, {});
}

void LoadRules::EndOfFile(const RecordAt& record, int line) {
  if (!done_) Stop(LoadEnd::Reason::kEndOfFile, record, {0, 0, line});
}

void LoadRules::NoBranch(const RecordAt& record, int line) {
  if (!done_) Stop(LoadEnd::Reason::kNoBranch, record, {0, 0, line});
}

std::string LoadRules::RefusalMessage(std::string_view name) const {
  return refusal_.Message(name, hint_);
}

LoadRules::Verdict LoadRules::Refuse(Refusal refusal) {
  done_ = true;
  refusal_ = std::move(refusal);
  return Verdict::kRefuse;
}

void LoadRules::Stop(LoadEnd::Reason reason, const RecordAt& record,
                     const RecordNeed& need) {
  done_ = true;
  end_ = {reason,
          record.number,
          need.value_bytes > 0 ? record.bytes / need.value_bytes : 0,
          record.offset,
          0,
          file_size_.has_value()};
  if (reason == LoadEnd::Reason::kShortRecord && need.value_bytes == 0) {
    end_.bytes = record.bytes;
    end_.layout_bytes = need.bytes;
  }
  if (reason == LoadEnd::Reason::kNoBranch) end_.bytes = record.bytes;
  end_.line = need.line;
  if (file_size_ && *file_size_ >= record.offset) {
    end_.unread = *file_size_ - record.offset;
  }
}

}  // namespace unf2mat
