#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "recordio/record_reader.h"
#include "recordio/record_walk.h"

namespace unf2mat {
namespace {

using record::AheadCursor;
using record::Framing;
using record::Step;
using record::WalkRecord;

// What the first records say of one framing.
enum class Verdict {
  kVerified,   // the first non-empty record fits in full
  kNoRecord,   // the file is empty
  kOnlyEmpty,  // empty records up to the end
  kOpen,       // cannot be ruled out within reach
  kOverLimit,  // claims a record too long to check
  kRuledOut,
  kFailed,
};

Verdict Classify(BufferedInput& in, const Framing& framing, std::uint64_t limit,
                 std::uint64_t lookahead, std::optional<std::uint64_t>* first) {
  // The longest record that may be checked, with its markers.
  AheadCursor cursor(in, lookahead + 2 * record::kLongMarkerSize);
  first->reset();
  for (;;) {
    std::uint64_t bytes = 0;
    switch (WalkRecord(cursor, framing, 0, &bytes)) {
      case Step::kOk:
        if (!*first) *first = bytes;
        if (bytes > 0) return Verdict::kVerified;
        break;
      case Step::kEnd:
        return *first ? Verdict::kOnlyEmpty : Verdict::kNoRecord;
      case Step::kBeyondReach:
        if (bytes <= limit) return Verdict::kOpen;
        if (!*first) *first = bytes;
        return Verdict::kOverLimit;
      case Step::kDamaged:
        return Verdict::kRuledOut;
      case Step::kFailed:
        return Verdict::kFailed;
    }
  }
}

}  // namespace

ReadStatus RecordReader::DetectFraming(
    std::uint64_t first_record_limit, FramingChoice* choice,
    std::optional<std::uint64_t> stream_lookahead) {
  struct Candidate {
    Framing framing;
    Verdict verdict;
    std::optional<std::uint64_t> first;
  };
  std::vector<Candidate> candidates;
  for (const Framing& framing : record::kFramings) {
    Candidate c{framing, Verdict::kRuledOut, std::nullopt};
    c.verdict =
        Classify(in_, framing, first_record_limit,
                 stream_lookahead.value_or(first_record_limit), &c.first);
    if (c.verdict == Verdict::kFailed) return ReadStatus::kFailed;
    if (c.verdict == Verdict::kVerified || c.verdict == Verdict::kNoRecord) {
      framing_ = framing;
      *choice = {framing, FramingChoice::Basis::kVerified, c.first};
      return ReadStatus::kOk;
    }
    candidates.push_back(c);
  }
  auto open = [](Verdict v) {
    return v == Verdict::kOpen || v == Verdict::kOnlyEmpty;
  };
  const Candidate* chosen = nullptr;
  for (const Candidate& c : candidates) {
    if (chosen == nullptr && open(c.verdict)) chosen = &c;
  }
  FramingChoice::Basis basis = FramingChoice::Basis::kVerified;
  if (chosen != nullptr) {
    // Empty records read alike in either byte order.
    std::set<std::pair<std::size_t, bool>> readings;
    for (const Candidate& c : candidates) {
      if (!open(c.verdict)) continue;
      readings.insert({c.framing.marker_size,
                       c.verdict == Verdict::kOpen && c.framing.swapped});
    }
    if (readings.size() > 1) basis = FramingChoice::Basis::kAmbiguous;
  } else {
    // A count misread in another framing is huge: the least claim is the one
    // to refuse the file by.
    for (const Candidate& c : candidates) {
      if (c.verdict == Verdict::kOverLimit &&
          (chosen == nullptr || c.first < chosen->first)) {
        chosen = &c;
      }
    }
    if (chosen == nullptr) {
      chosen = &candidates.front();
      basis = FramingChoice::Basis::kNoneFits;
    }
  }
  framing_ = chosen->framing;
  *choice = {
      chosen->framing, basis,
      basis == FramingChoice::Basis::kNoneFits ? std::nullopt : chosen->first};
  return ReadStatus::kOk;
}

}  // namespace unf2mat
