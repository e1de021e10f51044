#include "loader/load_rules.h"

#include <algorithm>
#include <utility>

#include "common/run_error.h"
#include "common/value_type.h"
#include "matfile/mat_format.h"

namespace unf2mat {

LoadLimits ElementLimits(std::uint64_t name_length) {
  const std::uint64_t most = mat::MaxMatrixValues(name_length);
  return {most, most, std::string(kLevel5Hint)};
}

bool Within(const LoadLimits& limits, std::uint64_t rows,
            std::uint64_t columns) {
  return columns <= limits.record_values &&
         (columns == 0 || rows <= limits.matrix_values / columns);
}

std::string Refusal::Reason() const {
  switch (limit) {
    case Limit::kFirstRecord:
      return "the first record holds " + std::to_string(values) +
             " values, over the limit of " + std::to_string(bound);
    case Limit::kMatrix:
      return "over the limit of " + std::to_string(bound) + " values";
    case Limit::kRecords:
      return "more than " + std::to_string(bound) +
             " records, over what a MAT-file element holds";
    case Limit::kEmptyRecords:
      break;
  }
  return "more than " + std::to_string(bound) + " records of no values";
}

std::string Refusal::Message(std::string_view name,
                             std::string_view hint) const {
  switch (limit) {
    case Limit::kFirstRecord:
      return "the first record of data file " + Quote(name) + " holds " +
             std::to_string(values) + " values, over the limit of " +
             std::to_string(bound) + std::string(hint);
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

LoadRules::LoadRules(LoadLimits limits, RowShape shape,
                     std::uint64_t records_before,
                     std::optional<std::uint64_t> file_size)
    : limits_(std::move(limits)),
      shape_(shape),
      records_before_(records_before),
      file_size_(file_size) {}

std::uint64_t LoadRules::Steps(std::uint64_t bytes) const {
  if (shape_.step_bytes == 0 || bytes < shape_.fixed_bytes) return 0;
  return (bytes - shape_.fixed_bytes) / shape_.step_bytes;
}

std::uint64_t LoadRules::first_record_bytes_limit() const {
  // The whole steps, and a partial one after them.
  if (shape_.step_bytes == 0) return shape_.fixed_bytes;
  return shape_.fixed_bytes + limits_.record_values * shape_.step_bytes +
         shape_.step_bytes - 1;
}

std::uint64_t LoadRules::stream_lookahead_bytes() const {
  if (shape_.step_bytes == 0) return shape_.fixed_bytes;
  return shape_.fixed_bytes +
         std::min(limits_.record_values, kRecordCapacity) * shape_.step_bytes +
         shape_.step_bytes - 1;
}

LoadRules::Verdict LoadRules::Claim(std::uint64_t bytes) {
  const std::uint64_t steps = Steps(bytes);
  if (!started_ && steps > limits_.record_values) {
    return Refuse(Refusal::Limit::kFirstRecord, steps, limits_.record_values);
  }
  return Verdict::kTake;
}

LoadRules::Verdict LoadRules::Record(std::uint64_t bytes,
                                     std::uint64_t offset) {
  if (done_) return Verdict::kStop;
  if (!started_) {
    if (Claim(bytes) == Verdict::kRefuse) return Verdict::kRefuse;
    started_ = true;
    width_ = Steps(bytes);
  }
  if (bytes < row_bytes()) {
    Stop(LoadEnd::Reason::kShortRecord, bytes, offset);
    return Verdict::kStop;
  }
  ++rows_;
  return CheckMatrix();
}

LoadRules::Verdict LoadRules::Repeats(std::uint64_t n) {
  if (done_ || !started_) return Verdict::kStop;
  rows_ += n;
  return CheckMatrix();
}

void LoadRules::Damaged(std::uint64_t offset) {
  if (!done_) Stop(LoadEnd::Reason::kDamaged, 0, offset);
}

std::uint64_t LoadRules::room() const {
  std::uint64_t fit = limits_.max_rows;
  if (width_ > 0) {
    fit = std::min(fit, limits_.matrix_values / width_);
  } else if (row_bytes() == 0) {
    fit = std::min(fit, kMaxEmptyRecords);
  }
  return fit > rows_ ? fit - rows_ : 0;
}

std::string LoadRules::RefusalMessage(std::string_view name) const {
  return refusal_.Message(name, limits_.hint);
}

LoadRules::Verdict LoadRules::CheckMatrix() {
  if (row_bytes() == 0 && rows_ > kMaxEmptyRecords) {
    return Refuse(Refusal::Limit::kEmptyRecords, 0, kMaxEmptyRecords);
  }
  if (width_ > 0 && rows_ > limits_.matrix_values / width_) {
    return Refuse(Refusal::Limit::kMatrix, 0, limits_.matrix_values);
  }
  if (rows_ > limits_.max_rows) {
    return Refuse(Refusal::Limit::kRecords, 0, limits_.max_rows);
  }
  return Verdict::kTake;
}

LoadRules::Verdict LoadRules::Refuse(Refusal::Limit limit, std::uint64_t values,
                                     std::uint64_t bound) {
  done_ = true;
  refusal_ = {limit, values, bound};
  return Verdict::kRefuse;
}

void LoadRules::Stop(LoadEnd::Reason reason, std::uint64_t bytes,
                     std::uint64_t offset) {
  done_ = true;
  const std::uint64_t values = shape_.by_layout || shape_.step_bytes == 0
                                   ? 0
                                   : bytes / shape_.step_bytes;
  end_ = {reason, records_before_ + rows_ + 1, values, offset,
          0,      file_size_.has_value()};
  if (shape_.by_layout && reason == LoadEnd::Reason::kShortRecord) {
    end_.bytes = bytes;
    end_.layout_bytes = row_bytes();
  }
  if (file_size_ && *file_size_ >= offset) end_.unread = *file_size_ - offset;
}

std::string ElementSizeWarning(std::string_view name, std::uint64_t name_length,
                               std::uint64_t values) {
  if (mat::MatrixElementBytes(name_length, values) <=
      mat::kMatlabElementBytes) {
    return "";
  }
  return "the matrix from data file " + Quote(name) + " takes " +
         std::to_string(8 * values) +
         " bytes, over the 2 GB that MATLAB loads of a Level 5 variable; "
         "Octave and scipy read it, and --format v7.3 writes one that MATLAB "
         "loads";
}

}  // namespace unf2mat
