// The grammar of a record (see record_format.h), walked in one place: over
// the file as it is read, ahead of it without moving, or by its markers alone
// (record_scan.h). Runs of records alike to the one walked are taken many at
// a time, by the one rule of Repeat below.
#ifndef UNF2MAT_RECORDIO_RECORD_WALK_H_
#define UNF2MAT_RECORDIO_RECORD_WALK_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include "common/coding.h"
#include "io/buffered_input.h"
#include "recordio/record_format.h"

namespace unf2mat::record {

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

std::int64_t DecodeCount(const char* src, const Framing& framing);

// Turns `bytes` bytes of values of the other byte order into the host's.
inline void SwapValues(char* values, std::size_t bytes,
                       std::size_t value_size = kValueSize) {
  if (value_size == sizeof(std::uint64_t)) {
    for (std::size_t k = 0; k + 8 <= bytes; k += 8) {
      MoveValue<8, true>(values + k, values + k);
    }
    return;
  }
  for (std::size_t k = 0; k + 4 <= bytes; k += 4) {
    MoveValue<4, true>(values + k, values + k);
  }
}

// kDamaged: the framing is broken (a count past the end of the file, counts
// that differ, a file that ends inside a record, subrecords that never
// close); kBeyondReach: a pipe would have to be read further ahead than
// allowed to tell.
enum class Step { kOk, kEnd, kDamaged, kFailed, kBeyondReach };

// A record of one subrecord and a non-negative count: a record that starts
// `stride` bytes after it and opens and closes with the very same marker
// bytes is one of the same length, checked without a walk.
struct Repeat {
  std::size_t marker_size = 0;
  char marker[kLongMarkerSize] = {};
  std::uint64_t stride = 0;  // 0: the record walked is not such a record
};

// Whether the record whose markers are at `leading` and at `trailing`
// (stride - marker_size bytes on) repeats `repeat`.
bool Repeats(const char* leading, const char* trailing, const Repeat& repeat);
// How many records that repeat `repeat` lie whole, one after another, in
// [p, p + available), at most `max`: Repeats(), checked many at a time.
std::uint64_t CountRepeats(const char* p, std::uint64_t available,
                           const Repeat& repeat, std::uint64_t max);

// Receives a record's values piece by piece: n values, which start `offset`
// values into the record, held at the start of the window.
using PieceSink = std::function<void(std::size_t offset, std::size_t n)>;

// Walks the file as it is read: payload goes to the caller's window, handed
// on piece by piece when it fills.
class ReadCursor {
 public:
  ReadCursor(BufferedInput& in, bool swapped, char* window,
             std::size_t window_bytes, const PieceSink* sink,
             std::size_t value_size = kValueSize)
      : in_(in),
        swapped_(swapped),
        window_(window),
        window_bytes_(window_bytes),
        sink_(sink),
        value_size_(value_size) {}

  Step Marker(char* dst, std::size_t m) {
    ++markers_;
    const std::size_t got = in_.Read(dst, m);
    if (in_.error() != 0) return Step::kFailed;
    if (got == 0) return Step::kEnd;
    return got < m ? Step::kDamaged : Step::kOk;
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
      if (got < chunk) return Step::kDamaged;
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
    const std::size_t n = filled_ / value_size_;
    if (swapped_) SwapValues(window_, n * value_size_, value_size_);
    if (sink_ != nullptr && n > 0) (*sink_)(delivered_, n);
    delivered_ += n;
    filled_ = 0;
  }

  // Leading markers read: the subrecords of a record that walked whole.
  std::size_t markers() const { return markers_; }

 private:
  BufferedInput& in_;
  bool swapped_;
  char* window_;
  std::size_t window_bytes_;
  const PieceSink* sink_;
  std::size_t value_size_;
  std::size_t markers_ = 0;
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
      if (step == Step::kOk) step = Step::kDamaged;
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
    if (!left) return std::nullopt;
    return *left > at_ ? *left - at_ : 0;
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
// length its counts claim so far; where given, *repeat says whether records
// after it may be taken as repeats of it.
Step WalkRecord(ReadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat = nullptr);
Step WalkRecord(AheadCursor& cursor, const Framing& framing, std::uint64_t room,
                std::uint64_t* bytes, Repeat* repeat = nullptr);

}  // namespace unf2mat::record

#endif  // UNF2MAT_RECORDIO_RECORD_WALK_H_
