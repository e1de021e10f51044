#include "recordio/record_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "recordio/coding.h"

namespace unf2mat {
namespace {

using record::Framing;

// The signed count of a marker.
template <std::size_t kMarker, bool kSwapped>
std::int64_t DecodeCount(const char* src) {
  if constexpr (kMarker == record::kMarkerSize) {
    std::uint32_t raw = DecodeHost32(src);
    if constexpr (kSwapped) raw = ByteSwap32(raw);
    return std::bit_cast<std::int32_t>(raw);
  } else {
    std::uint64_t raw = DecodeHost64(src);
    if constexpr (kSwapped) raw = ByteSwap64(raw);
    return std::bit_cast<std::int64_t>(raw);
  }
}

std::int64_t DecodeCount(const char* src, const Framing& framing) {
  if (framing.marker_size == record::kMarkerSize) {
    return framing.swapped ? DecodeCount<4, true>(src)
                           : DecodeCount<4, false>(src);
  }
  return framing.swapped ? DecodeCount<8, true>(src)
                         : DecodeCount<8, false>(src);
}

struct Header {
  std::uint64_t length;  // payload bytes
  bool more;             // further subrecords continue the record
  // For a 4-byte count with the top bit set at the start of a record: the
  // count read as unsigned, which one compiler writes for records over 2 GiB
  // unsplit. Which reading holds shows at the trailing marker.
  std::uint64_t unsplit_length;
};

// Decodes the leading marker of a (sub)record; empty when it cannot start one
// that fits in the `left` bytes after it, so that nothing is ever skipped or
// read past the end of the file.
std::optional<Header> DecodeHeader(const char* src, const Framing& framing,
                                   bool first,
                                   std::optional<std::uint64_t> left) {
  const std::int64_t count = DecodeCount(src, framing);
  if (count == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
  Header header{static_cast<std::uint64_t>(count < 0 ? -count : count),
                count < 0, 0};
  if (header.more && first && framing.marker_size == record::kMarkerSize) {
    header.unsplit_length = static_cast<std::uint32_t>(count);
  }
  auto fits = [&](std::uint64_t length) {
    return !left || (length <= *left && framing.marker_size <= *left - length);
  };
  if (!fits(header.length)) return std::nullopt;
  if (!fits(header.unsplit_length)) header.unsplit_length = 0;
  return header;
}

// A subrecord's trailing marker repeats its length, negative for all but the
// first subrecord of a record.
bool Closes(const char* src, const Framing& framing, const Header& header,
            bool first) {
  const std::int64_t count = DecodeCount(src, framing);
  return count != std::numeric_limits<std::int64_t>::min() &&
         static_cast<std::uint64_t>(count < 0 ? -count : count) ==
             header.length &&
         (count < 0) != first;
}

enum class Step { kOk, kEnd, kShort, kFailed, kBeyondReach };

// Walks the file as it is read: payload goes to the caller's window, handed
// on piece by piece when it fills.
class ReadCursor {
 public:
  ReadCursor(BufferedInput& in, bool swapped, char* window,
             std::size_t window_bytes, const RecordReader::PieceSink* sink)
      : in_(in),
        swapped_(swapped),
        window_(window),
        window_bytes_(window_bytes),
        sink_(sink) {}

  Step Marker(char* dst, std::size_t m) {
    const std::size_t got = in_.Read(dst, m);
    if (in_.error() != 0) return Step::kFailed;
    if (got == 0) return Step::kEnd;
    return got < m ? Step::kShort : Step::kOk;
  }
  Step PeekMarker(char* dst, std::size_t m) {
    if (in_.Fill(m) < m) return in_.error() != 0 ? Step::kFailed : Step::kEnd;
    std::memcpy(dst, in_.data(), m);
    return Step::kOk;
  }
  Step Take(std::uint64_t n) {
    while (n > 0) {
      const std::size_t chunk = static_cast<std::size_t>(
          std::min<std::uint64_t>(n, window_bytes_ - filled_));
      const std::size_t got = in_.Read(window_ + filled_, chunk);
      if (in_.error() != 0) return Step::kFailed;
      if (got < chunk) return Step::kShort;
      filled_ += chunk;
      n -= chunk;
      if (sink_ != nullptr && filled_ == window_bytes_) Deliver();
    }
    return Step::kOk;
  }
  Step Skip(std::uint64_t n) { return in_.Skip(n) ? Step::kOk : Step::kFailed; }
  std::optional<std::uint64_t> Left() const { return in_.BytesLeft(); }

  // Hands on what the window holds, in host byte order.
  void Deliver() {
    const std::size_t n = filled_ / record::kValueSize;
    if (swapped_) {
      for (std::size_t k = 0; k < n; ++k) {
        char* p = window_ + k * record::kValueSize;
        const std::uint32_t word = ByteSwap32(DecodeHost32(p));
        std::memcpy(p, &word, sizeof word);
      }
    }
    if (sink_ != nullptr && n > 0) (*sink_)(delivered_, n);
    delivered_ += n;
    filled_ = 0;
  }

 private:
  BufferedInput& in_;
  bool swapped_;
  char* window_;
  std::size_t window_bytes_;
  const RecordReader::PieceSink* sink_;
  std::size_t filled_ = 0;
  std::size_t delivered_ = 0;
};

// Walks the file ahead of what has been read, without moving; from a pipe no
// further than `reach` bytes ahead.
class AheadCursor {
 public:
  AheadCursor(BufferedInput& in, std::uint64_t reach)
      : in_(in), reach_(reach) {}

  Step Marker(char* dst, std::size_t m) {
    Step step = PeekMarker(dst, m);
    if (step == Step::kEnd) {
      // The file may end here, or inside the marker.
      char byte;
      step = At(at_, &byte, 1);
      if (step == Step::kOk) step = Step::kShort;
    }
    if (step == Step::kOk) at_ += m;
    return step;
  }
  Step PeekMarker(char* dst, std::size_t m) { return At(at_, dst, m); }
  Step Take(std::uint64_t n) { return Skip(n); }
  Step Skip(std::uint64_t n) {
    at_ += n;
    return Step::kOk;
  }
  std::optional<std::uint64_t> Left() const {
    std::optional<std::uint64_t> left = in_.BytesLeft();
    if (!left || *left < at_) return std::nullopt;
    return *left - at_;
  }

 private:
  Step At(std::uint64_t at, char* dst, std::size_t n) {
    switch (in_.PeekAt(at, dst, n, reach_)) {
      case BufferedInput::Peek::kOk:
        return Step::kOk;
      case BufferedInput::Peek::kEnd:
        return Step::kEnd;
      case BufferedInput::Peek::kBeyondReach:
        return Step::kBeyondReach;
      case BufferedInput::Peek::kFailed:
        break;
    }
    return Step::kFailed;
  }

  BufferedInput& in_;
  std::uint64_t reach_;
  std::uint64_t at_ = 0;
};

// The one walk over a record's grammar: marker, payload, marker, chained
// while the leading count is negative. Takes the first `room` bytes of the
// payload and sets *bytes to the record's length, or on kBeyondReach to the
// length its counts claim so far.
template <class Cursor>
Step WalkRecord(Cursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes) {
  const std::size_t m = framing.marker_size;
  char leading[record::kLongMarkerSize];
  char trailing[record::kLongMarkerSize];
  std::uint64_t taken = 0;
  std::uint64_t total = 0;
  auto take_and_skip = [&](std::uint64_t length) {
    const std::uint64_t take = std::min(length, room - taken);
    Step step = cursor.Take(take);
    taken += take;
    return step == Step::kOk ? cursor.Skip(length - take) : step;
  };
  for (bool first = true;; first = false) {
    Step step = cursor.Marker(leading, m);
    if (step == Step::kEnd) return first ? Step::kEnd : Step::kShort;
    if (step != Step::kOk) return step;
    std::optional<Header> header =
        DecodeHeader(leading, framing, first, cursor.Left());
    if (!header) return Step::kShort;
    *bytes = total + header->length;
    if ((step = take_and_skip(header->length)) != Step::kOk) return step;
    step = cursor.PeekMarker(trailing, m);
    if (step != Step::kOk) return step == Step::kEnd ? Step::kShort : step;
    if (!Closes(trailing, framing, *header, first)) {
      if (header->unsplit_length == 0) return Step::kShort;
      // One record after all: what followed the first reading is payload.
      *bytes = header->unsplit_length;
      step = take_and_skip(header->unsplit_length - header->length);
      if (step != Step::kOk) return step;
      step = cursor.PeekMarker(trailing, m);
      if (step != Step::kOk) return step == Step::kEnd ? Step::kShort : step;
      if (std::memcmp(trailing, leading, m) != 0) return Step::kShort;
      header->length = header->unsplit_length;
      header->more = false;
    }
    if ((step = cursor.Skip(m)) != Step::kOk) return step;
    total += header->length;
    if (!header->more) break;
  }
  *bytes = total;
  return Step::kOk;
}

ReadStatus ToReadStatus(Step step) {
  switch (step) {
    case Step::kOk:
      return ReadStatus::kOk;
    case Step::kEnd:
      return ReadStatus::kEnd;
    case Step::kFailed:
      return ReadStatus::kFailed;
    case Step::kShort:
    case Step::kBeyondReach:
      break;
  }
  return ReadStatus::kShort;
}

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
                 std::optional<std::uint64_t>* first) {
  // The longest record that may be checked, with its markers.
  const std::uint64_t reach = limit + 2 * record::kLongMarkerSize;
  AheadCursor cursor(in, reach);
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
      case Step::kShort:
        return Verdict::kRuledOut;
      case Step::kFailed:
        return Verdict::kFailed;
    }
  }
}

}  // namespace

ReadStatus RecordReader::DetectFraming(std::uint64_t first_record_limit,
                                       FramingChoice* choice) {
  struct Candidate {
    Framing framing;
    Verdict verdict;
    std::optional<std::uint64_t> first;
  };
  std::vector<Candidate> candidates;
  for (const Framing& framing : record::kFramings) {
    Candidate c{framing, Verdict::kRuledOut, std::nullopt};
    c.verdict = Classify(in_, framing, first_record_limit, &c.first);
    if (c.verdict == Verdict::kFailed) return ReadStatus::kFailed;
    if (c.verdict == Verdict::kVerified || c.verdict == Verdict::kNoRecord) {
      framing_ = framing;
      *choice = {framing, FramingChoice::Basis::kVerified, c.first};
      return ReadStatus::kOk;
    }
    candidates.push_back(c);
  }
  auto first_with = [&](auto pred) -> const Candidate* {
    for (const Candidate& c : candidates) {
      if (pred(c.verdict)) return &c;
    }
    return nullptr;
  };
  auto open = [](Verdict v) {
    return v == Verdict::kOpen || v == Verdict::kOnlyEmpty;
  };
  const Candidate* chosen = first_with(open);
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

ReadStatus RecordReader::ReadRecord(float* values, std::size_t capacity,
                                    std::uint64_t* bytes) {
  return ReadThrough(values, capacity, capacity, nullptr, bytes);
}

ReadStatus RecordReader::ReadRecordInPieces(float* window,
                                            std::size_t window_values,
                                            std::size_t capacity,
                                            const PieceSink& sink,
                                            std::uint64_t* bytes) {
  return ReadThrough(window, std::max<std::size_t>(window_values, 1), capacity,
                     &sink, bytes);
}

ReadStatus RecordReader::ReadThrough(float* window, std::size_t window_values,
                                     std::size_t capacity,
                                     const PieceSink* sink,
                                     std::uint64_t* bytes) {
  ReadCursor cursor(in_, framing_.swapped, reinterpret_cast<char*>(window),
                    window_values * record::kValueSize, sink);
  std::uint64_t length = 0;
  const Step step = WalkRecord(
      cursor, framing_, std::uint64_t{capacity} * record::kValueSize, &length);
  if (step != Step::kOk) return ToReadStatus(step);
  cursor.Deliver();
  *bytes = length;
  return ReadStatus::kOk;
}

ReadStatus RecordReader::ReadValues(float* values, std::size_t count) {
  std::uint64_t bytes = 0;
  ReadStatus status = ReadRecord(values, count, &bytes);
  if (status == ReadStatus::kOk &&
      bytes < std::uint64_t{count} * record::kValueSize) {
    return ReadStatus::kShort;
  }
  return status;
}

std::optional<std::uint64_t> RecordReader::CountRecordsAhead(
    std::size_t count, std::uint64_t max_records) {
  AheadCursor cursor(in_, /*reach=*/0);
  std::uint64_t records = 0;
  while (records < max_records) {
    std::uint64_t bytes = 0;
    switch (WalkRecord(cursor, framing_, 0, &bytes)) {
      case Step::kOk:
        if (bytes < std::uint64_t{count} * record::kValueSize) return records;
        ++records;
        break;
      case Step::kEnd:
      case Step::kShort:
        return records;
      case Step::kBeyondReach:
      case Step::kFailed:
        return std::nullopt;
    }
  }
  return records;
}

namespace {

template <bool kSwapped>
void CopyValues(char* dst, const char* src, std::size_t bytes) {
  // Few values are copied inline: a call per record would cost more.
  constexpr std::size_t kInline = 16 * record::kValueSize;
  if (bytes <= kInline) {
    for (std::size_t k = 0; k < bytes; k += record::kValueSize) {
      std::uint32_t word = DecodeHost32(src + k);
      if constexpr (kSwapped) word = ByteSwap32(word);
      std::memcpy(dst + k, &word, sizeof word);
    }
    return;
  }
  std::memcpy(dst, src, bytes);
  if constexpr (kSwapped) {
    for (std::size_t k = 0; k < bytes; k += record::kValueSize) {
      const std::uint32_t word = ByteSwap32(DecodeHost32(dst + k));
      std::memcpy(dst + k, &word, sizeof word);
    }
  }
}

// Takes whole unsplit records of at least `wanted` bytes that lie in
// buffer[0, len), up to max_records of them; returns how many and sets *used
// to the bytes they took. Anything else is left to the walk. A record as long
// as the one before is found where that length predicts, so that no load
// waits for the one before it.
template <std::size_t kMarker, bool kSwapped>
std::size_t TakeBufferedRecords(const char* buffer, std::size_t len,
                                std::size_t* used, char* dst,
                                std::size_t wanted, std::size_t max_records) {
  std::size_t p = 0;
  std::size_t k = 0;
  std::int64_t length = -1;
  for (; k < max_records && len - p >= 2 * kMarker; ++k) {
    const std::int64_t count = DecodeCount<kMarker, kSwapped>(buffer + p);
    if (count != length) {
      if (count < 0 || static_cast<std::uint64_t>(count) < wanted) break;
      length = count;
    }
    const auto n = static_cast<std::uint64_t>(length);
    if (n > len - p - 2 * kMarker ||
        DecodeCount<kMarker, kSwapped>(buffer + p + kMarker + n) != length) {
      break;
    }
    CopyValues<kSwapped>(dst + k * wanted, buffer + p + kMarker, wanted);
    p += 2 * kMarker + static_cast<std::size_t>(n);
  }
  *used = p;
  return k;
}

}  // namespace

std::size_t RecordReader::ReadRows(float* values, std::size_t count,
                                   std::size_t max_records,
                                   ReadStatus* status) {
  const std::size_t wanted = count * record::kValueSize;
  char* dst = reinterpret_cast<char*>(values);
  auto take = record::kLongMarkerSize == framing_.marker_size
                  ? (framing_.swapped ? TakeBufferedRecords<8, true>
                                      : TakeBufferedRecords<8, false>)
                  : (framing_.swapped ? TakeBufferedRecords<4, true>
                                      : TakeBufferedRecords<4, false>);
  std::size_t k = 0;
  *status = ReadStatus::kOk;
  while (k < max_records) {
    std::size_t used = 0;
    k += take(in_.data(), in_.available(), &used, dst + k * wanted, wanted,
              max_records - k);
    in_.Consume(used);
    if (k == max_records) break;
    // A record across the end of the buffer, split, short or damaged.
    *status = ReadValues(values + k * count, count);
    if (*status != ReadStatus::kOk) break;
    ++k;
  }
  return k;
}

}  // namespace unf2mat
