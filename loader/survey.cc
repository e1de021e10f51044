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
  SurveySink(Survey& survey, std::optional<std::uint32_t> sampled,
             std::size_t sample_words)
      : s_(survey), sampled_(sampled), sample_bytes_(4 * sample_words) {}

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
  void Read(std::uint32_t variable, const ReadShape&,
            std::span<const PayloadPiece> pieces) override {
    if (variable != sampled_) return;
    for (const PayloadPiece& piece : pieces) {
      if (pieces_bytes_ >= sample_bytes_) return;
      const std::uint64_t take =
          std::min(piece.bytes, sample_bytes_ - pieces_bytes_);
      wanted_.push_back({piece.offset, take});
      pieces_bytes_ += take;
    }
  }
  void ReadAgain(std::uint32_t, std::uint64_t, std::uint64_t) override {
    // Repeats add nothing to a sample that the first rows fill.
  }

  // The sampled bytes, read once the walk is done.
  void Fill(InputFile& file, bool swapped) {
    for (const PayloadPiece& piece : wanted_) {
      const std::size_t at = s_.sample.size();
      s_.sample.resize(at + static_cast<std::size_t>(piece.bytes));
      std::size_t got = 0;
      while (got < piece.bytes) {
        const IoResult r = file.ReadAt(piece.offset + got, s_.sample.data() + at + got,
                                       static_cast<std::size_t>(piece.bytes) - got);
        if (r.error != 0 || r.bytes == 0) break;
        got += r.bytes;
      }
      s_.sample.resize(at + got);
    }
    s_.sample.resize(s_.sample.size() / 4 * 4);
    if (swapped) record::SwapValues(s_.sample.data(), s_.sample.size(), 4);
  }

 private:
  void Note(std::uint64_t bytes, std::uint64_t first, std::uint64_t n) {
    last_bytes_ = bytes;
    s_.lengths_of_8 = s_.lengths_of_8 && bytes % 8 == 0;
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
  std::optional<std::uint32_t> sampled_;
  std::uint64_t sample_bytes_;
  std::uint64_t pieces_bytes_ = 0;
  std::vector<PayloadPiece> wanted_;
  std::uint64_t last_bytes_ = 0;
};

}  // namespace

Survey SurveyFile(std::unique_ptr<InputFile> file, std::string_view name,
                  const Layout& layout, std::vector<LoadLimits> limits,
                  const std::vector<std::string>& spool_dirs,
                  std::size_t sample_words) {
  Survey s;
  SurveySink sink(s, sample_words > 0 ? layout.rows : std::nullopt,
                  sample_words);
  s.placed = PlaceDataFile(std::move(file), name, layout, std::move(limits),
                           spool_dirs, &sink, /*describe=*/true);
  sink.Fill(*s.placed.file, s.placed.choice.framing.swapped);
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
        throw RunError(FileError("cannot read data file", name,
                                 tail.error() != 0 ? tail.error() : EIO));
      }
      if (step != record::Step::kOk) break;
      sink.Walked(number, 0, bytes, tail.subrecords());
    }
  }
  // A file of known size, or a stream read to its end, has told its size.
  if (!s.placed.stream || walk.end.reason == LoadEnd::Reason::kEnd) {
    if (s.placed.file->Size()) {
      s.size = *s.placed.file->Size();
    } else if (walk.end.reason == LoadEnd::Reason::kEnd &&
               !walk.refusal && walk.refusal_message.empty()) {
      s.size = walk.walked_to;
    }
  }
  return s;
}

}  // namespace unf2mat
