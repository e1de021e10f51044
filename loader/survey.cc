#include "loader/survey.h"

#include <algorithm>
#include <utility>

#include "common/run_error.h"
#include "recordio/record_scan.h"
#include "recordio/record_walk.h"

namespace unf2mat {
namespace {

class SurveySink final : public WalkSink {
 public:
  explicit SurveySink(Survey& survey) : s_(survey) {}

  void Walked(std::uint64_t number, std::uint64_t, std::uint64_t bytes,
              std::size_t subrecords) override {
    ++s_.records;
    if (subrecords > 1) ++s_.split;
    Note(bytes, number, 1);
  }
  void WalkedAgain(std::uint64_t n, std::uint64_t) override {
    s_.records += n;
    Note(last_bytes_, 0, n);
  }

 private:
  void Note(std::uint64_t bytes, std::uint64_t first, std::uint64_t n) {
    last_bytes_ = bytes;
    const std::uint64_t room = Survey::kSequenceRecords - s_.sequence.size();
    s_.sequence.insert(s_.sequence.end(), std::min(n, room), bytes);
    for (Survey::Length& length : s_.lengths) {
      if (length.bytes == bytes) {
        length.records += n;
        return;
      }
    }
    if (s_.lengths.size() < Survey::kListedLengths) {
      s_.lengths.push_back({bytes, n, first});
    } else {
      s_.other_records += n;
    }
  }

  Survey& s_;
  std::uint64_t last_bytes_ = 0;
};

[[noreturn]] void ThrowScanFailure(const RecordScanner& scanner,
                                   std::string_view name) {
  throw RunError(FileError("cannot read data file", name,
                           scanner.error() != 0 ? scanner.error() : EIO));
}

// The first bytes of the first records, walked again by their markers.
std::vector<std::string> Heads(InputFile& file, const record::Framing& framing,
                               std::uint64_t records, std::string_view name) {
  std::vector<std::string> heads;
  RecordScanner scanner(file, file.Size(), framing);
  std::vector<PayloadPiece> pieces;
  while (heads.size() <
         std::min<std::uint64_t>(records, Survey::kHeadRecords)) {
    std::uint64_t bytes = 0;
    const record::Step step = scanner.Next(Survey::kHeadBytes, &pieces, &bytes);
    if (step == record::Step::kFailed || scanner.error() != 0) {
      ThrowScanFailure(scanner, name);
    }
    if (step != record::Step::kOk) break;
    std::string head(std::min<std::uint64_t>(bytes, Survey::kHeadBytes), '\0');
    if (!scanner.ReadPayload(pieces, 0, head.size(), head.data())) {
      ThrowScanFailure(scanner, name);
    }
    heads.push_back(std::move(head));
  }
  return heads;
}

}  // namespace

Survey SurveyFile(std::unique_ptr<InputFile> file, std::string_view name,
                  const Layout& layout, std::vector<LoadLimits> limits,
                  const std::vector<std::string>& spool_dirs) {
  Survey s;
  SurveySink sink(s);
  s.placed = PlaceDataFile(std::move(file), name, layout, std::move(limits),
                           spool_dirs, &sink, /*describe=*/true);
  const WalkResult& walk = s.placed.walk;
  // Where loading stops before the end, the records after it are listed
  // too: a record walk by their markers alone.
  const bool stopped = walk.end.reason == LoadEnd::Reason::kShortRecord ||
                       walk.end.reason == LoadEnd::Reason::kNoBranch ||
                       walk.trailing;
  if (stopped && !walk.refusal) {
    RecordScanner tail(*s.placed.file, s.placed.file->Size(),
                       s.placed.choice.framing, walk.walked_to);
    std::vector<PayloadPiece> pieces;
    for (std::uint64_t number = walk.records + 1;; ++number) {
      std::uint64_t bytes = 0;
      const record::Step step = tail.Next(0, &pieces, &bytes);
      if (step == record::Step::kFailed || tail.error() != 0) {
        ThrowScanFailure(tail, name);
      }
      if (step != record::Step::kOk) break;
      sink.Walked(number, 0, bytes, tail.subrecords());
    }
  }
  s.heads = Heads(*s.placed.file, s.placed.choice.framing, s.records, name);
  // A file of known size, or a stream read to its end, has told its size.
  if (!s.placed.stream || walk.end.reason == LoadEnd::Reason::kEnd) {
    if (s.placed.file->Size()) {
      s.size = *s.placed.file->Size();
    } else if (walk.end.reason == LoadEnd::Reason::kEnd && !walk.refusal &&
               walk.refusal_message.empty()) {
      s.size = walk.walked_to;
    }
  }
  return s;
}

}  // namespace unf2mat
