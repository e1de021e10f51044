#include "recordio/record_walk.h"

#include <cstring>
#include <limits>
#include <type_traits>

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
          std::uint64_t* bytes, Repeat* repeat) {
  if (repeat != nullptr) repeat->stride = 0;
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
  bool read_as_unsplit = false;  // a top-bit count read as unsigned
  for (bool first = true;; first = false) {
    Step step = cursor.Marker(leading, m);
    if (step == Step::kEnd) return first ? Step::kEnd : Step::kDamaged;
    if (step != Step::kOk) return step;
    std::optional<Header> header =
        DecodeHeader(leading, framing, first, cursor.Left());
    if (!header) return Step::kDamaged;
    *bytes = total + header->length;
    if ((step = take_and_skip(header->length)) != Step::kOk) return step;
    step = cursor.PeekMarker(trailing, m);
    if (step != Step::kOk) return step == Step::kEnd ? Step::kDamaged : step;
    if (!Closes(trailing, framing, *header, first)) {
      if (header->unsplit_length == 0) return Step::kDamaged;
      // One record after all: what followed the first reading is payload.
      *bytes = header->unsplit_length;
      step = take_and_skip(header->unsplit_length - header->length);
      if (step != Step::kOk) return step;
      step = cursor.PeekMarker(trailing, m);
      if (step != Step::kOk) return step == Step::kEnd ? Step::kDamaged : step;
      if (std::memcmp(trailing, leading, m) != 0) return Step::kDamaged;
      header->length = header->unsplit_length;
      header->more = false;
      read_as_unsplit = true;
    }
    if ((step = cursor.Skip(m)) != Step::kOk) return step;
    total += header->length;
    if (!header->more) {
      // One subrecord read by its own count: repeats of it are checked by
      // their marker bytes alone.
      if (repeat != nullptr && first && !read_as_unsplit) {
        repeat->marker_size = m;
        std::memcpy(repeat->marker, leading, m);
        repeat->stride = header->length + 2 * m;
      }
      break;
    }
  }
  *bytes = total;
  return Step::kOk;
}

// With the marker size a constant, each check is one compare.
template <std::size_t kMarker>
bool RepeatsOf(const char* leading, const char* trailing,
               const Repeat& repeat) {
  return std::memcmp(leading, repeat.marker, kMarker) == 0 &&
         std::memcmp(trailing, repeat.marker, kMarker) == 0;
}

template <std::size_t kMarker>
std::uint64_t CountRepeatsOf(const char* p, std::uint64_t records,
                             const Repeat& repeat) {
  using Word = std::conditional_t<kMarker == 8, std::uint64_t, std::uint32_t>;
  static_assert(sizeof(Word) == kMarker);
  Word marker;
  std::memcpy(&marker, repeat.marker, kMarker);
  const std::uint64_t stride = repeat.stride;
  const std::uint64_t trailing = stride - kMarker;
  // Blocks of records checked without a branch each, as a walk of short
  // records does little else; the record that differs is then found in
  // its block.
  constexpr std::uint64_t kBlock = 64;
  std::uint64_t k = 0;
  for (; k + kBlock <= records; k += kBlock) {
    const char* q = p + k * stride;
    Word differs = 0;
    for (std::uint64_t i = 0; i < kBlock; ++i, q += stride) {
      Word leading, trailer;
      std::memcpy(&leading, q, kMarker);
      std::memcpy(&trailer, q + trailing, kMarker);
      differs |= (leading ^ marker) | (trailer ^ marker);
    }
    if (differs != 0) break;
  }
  for (const char* q = p + k * stride; k < records; ++k, q += stride) {
    if (!RepeatsOf<kMarker>(q, q + trailing, repeat)) return k;
  }
  return records;
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

bool Repeats(const char* leading, const char* trailing, const Repeat& repeat) {
  if (repeat.stride == 0) return false;
  return repeat.marker_size == kMarkerSize
             ? RepeatsOf<kMarkerSize>(leading, trailing, repeat)
             : RepeatsOf<kLongMarkerSize>(leading, trailing, repeat);
}

std::uint64_t CountRepeats(const char* p, std::uint64_t available,
                           const Repeat& repeat, std::uint64_t max) {
  if (repeat.stride == 0) return 0;
  const std::uint64_t records = std::min(max, available / repeat.stride);
  return repeat.marker_size == kMarkerSize
             ? CountRepeatsOf<kMarkerSize>(p, records, repeat)
             : CountRepeatsOf<kLongMarkerSize>(p, records, repeat);
}

Step WalkRecord(ReadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat) {
  return Walk(cursor, framing, room, bytes, repeat);
}

Step WalkRecord(AheadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat) {
  return Walk(cursor, framing, room, bytes, repeat);
}

Step WalkRecord(ScanCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat) {
  return Walk(cursor, framing, room, bytes, repeat);
}

}  // namespace unf2mat::record
