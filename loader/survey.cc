#include "loader/survey.h"

#include <algorithm>

#include "loader/load_start.h"

namespace unf2mat {
namespace {

void NoteLength(Survey& s, std::uint64_t bytes) {
  s.lengths_of_8 = s.lengths_of_8 && bytes % 8 == 0;
  for (Survey::Length& length : s.lengths) {
    if (length.bytes == bytes) {
      ++length.records;
      return;
    }
  }
  if (s.lengths.size() < Survey::kListedLengths) {
    s.lengths.push_back({bytes, 1, s.records});
  } else {
    ++s.other_records;
  }
}

}  // namespace

Survey SurveyRecords(RecordReader& reader, std::string_view name,
                     ValueType type, const RecordPlan& plan,
                     const LoadLimits& limits, std::size_t sample_words) {
  reader.set_value_size(ValueSize(type));
  LoadRules rules(limits, plan.row, plan.records_before(), reader.BytesLeft());
  Survey s;
  bool refused = DecideFraming(reader, rules, plan, name, &s.choice) ==
                 LoadRules::Verdict::kRefuse;
  s.sample.resize(4 * sample_words);
  std::size_t sampled = 0;
  bool damaged = false;
  while (!refused) {
    // Only data records are sampled, and put to the rules.
    const bool data = s.records >= plan.records_before();
    const std::size_t room =
        data ? (s.sample.size() - sampled) / reader.value_size() : 0;
    std::uint64_t bytes = 0;
    const ReadStatus status =
        reader.ReadRecord(s.sample.data() + sampled, room, &bytes);
    if (status == ReadStatus::kFailed) ThrowReadFailure(name, reader.error());
    if (status == ReadStatus::kEnd) break;
    if (status == ReadStatus::kDamaged) {
      rules.Damaged(reader.last_record().offset);
      damaged = true;
      break;
    }
    ++s.records;
    if (reader.last_record().subrecords > 1) ++s.split;
    sampled += std::min<std::uint64_t>(room, bytes / reader.value_size()) *
               reader.value_size();
    NoteLength(s, bytes);
    refused = data && rules.Record(bytes, reader.last_record().offset) ==
                          LoadRules::Verdict::kRefuse;
  }
  s.sample.resize(sampled);
  if (refused) s.refusal = rules.refusal();
  s.rows = rules.rows();
  s.columns = rules.width();
  s.end = rules.end();
  // A pipe read to its end has told its size too.
  if (const auto left = reader.BytesLeft()) {
    s.size = reader.position() + *left;
  } else if (!damaged && !refused) {
    s.size = reader.position();
  }
  return s;
}

}  // namespace unf2mat
