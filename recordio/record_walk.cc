#include "recordio/record_walk.h"

#include <limits>

#include "recordio/record_scan.h"

namespace unf2mat::record {
namespace {

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

template <class Cursor>
Step Walk(Cursor& cursor, const Framing& framing, std::uint64_t room,
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

}  // namespace

std::int64_t DecodeCount(const char* src, const Framing& framing) {
  if (framing.marker_size == record::kMarkerSize) {
    return framing.swapped ? DecodeCount<4, true>(src)
                           : DecodeCount<4, false>(src);
  }
  return framing.swapped ? DecodeCount<8, true>(src)
                         : DecodeCount<8, false>(src);
}

Step WalkRecord(ReadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes) {
  return Walk(cursor, framing, room, bytes);
}

Step WalkRecord(AheadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes) {
  return Walk(cursor, framing, room, bytes);
}

Step WalkRecord(ScanCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes) {
  return Walk(cursor, framing, room, bytes);
}

}  // namespace unf2mat::record
