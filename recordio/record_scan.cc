#include "recordio/record_scan.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "io/helper_thread.h"
#include "io/mapped_bytes.h"

namespace unf2mat {

namespace record {

Step ScanCursor::Marker(char* dst, std::size_t m) {
  ++markers_;
  Step step = PeekMarker(dst, m);
  if (step == Step::kEnd) {
    // The file ends here, or inside the marker.
    const bool any = size_ ? *size_ > at_ : window_.At(at_, 1, 1) != nullptr;
    if (window_.error() != 0) return Step::kFailed;
    if (any) step = Step::kDamaged;
  }
  if (step == Step::kOk) at_ += m;
  return step;
}

Step ScanCursor::PeekMarker(char* dst, std::size_t m) {
  if (size_ && *size_ - std::min(at_, *size_) < m) return Step::kEnd;
  // Past a long payload, what follows is most likely another long one,
  // none of which the walk reads.
  constexpr std::size_t kNearBytes = 4096;
  const char* src = window_.At(at_, m, far_ ? kNearBytes : window_.capacity());
  if (src == nullptr) return window_.error() != 0 ? Step::kFailed : Step::kEnd;
  std::memcpy(dst, src, m);
  return Step::kOk;
}

}  // namespace record

RecordScanner::RecordScanner(InputFile& file, std::optional<std::uint64_t> size,
                             const record::Framing& framing,
                             std::uint64_t start)
    : file_(file),
      window_(file, std::size_t{1} << 18, size),
      size_(size),
      framing_(framing),
      offset_(start) {}

record::Step RecordScanner::Next(std::uint64_t room,
                                 std::vector<PayloadPiece>* pieces,
                                 std::uint64_t* bytes) {
  pieces->clear();
  record::ScanCursor cursor(window_, offset_, size_, pieces);
  const record::Step step = WalkRecord(cursor, framing_, room, bytes, &repeat_);
  if (step == record::Step::kOk) offset_ = cursor.at();
  subrecords_ = cursor.markers();
  return step;
}

bool RecordScanner::ReadPayload(const std::vector<PayloadPiece>& pieces,
                                std::uint64_t from, std::size_t n, char* dst) {
  std::uint64_t start = 0;  // of the piece in the payload
  for (const PayloadPiece& piece : pieces) {
    if (n == 0) break;
    const std::uint64_t end = start + piece.bytes;
    while (from < end && n > 0) {
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::uint64_t>({n, end - from, window_.capacity()}));
      const char* src = window_.At(piece.offset + (from - start), take, take);
      if (src == nullptr) return false;
      std::memcpy(dst, src, take);
      dst += take;
      from += take;
      n -= take;
    }
    start = end;
  }
  return n == 0;
}

bool RecordScanner::Holds(std::uint64_t n) {
  if (size_) return *size_ >= offset_ && *size_ - offset_ >= n;
  return window_.At(offset_,
                    static_cast<std::size_t>(
                        std::min<std::uint64_t>(n, window_.capacity())),
                    window_.capacity()) != nullptr;
}

std::uint64_t RecordScanner::SkipRepeats(std::uint64_t max) {
  const std::uint64_t stride = repeat_.stride;
  if (stride == 0) return 0;
  std::uint64_t done = 0;
  if (stride <= window_.capacity() / 2 && !markers_only_) {
    // Many records to a window, checked in memory: mapped where they can
    // be, which copies nothing, else read.
    done = SkipMappedRepeats(max);
    while (done < max && Holds(stride)) {
      const char* p = window_.At(offset_, stride, window_.capacity());
      if (p == nullptr) break;
      const std::uint64_t held = window_.end() - offset_;
      const std::uint64_t fit = std::min(max - done, held / stride);
      const std::uint64_t repeats = record::CountRepeats(p, held, repeat_, fit);
      done += repeats;
      offset_ += repeats * stride;
      if (repeats < fit) break;
    }
    return done;
  }
  // Records far apart: their markers only, read where they lie.
  const std::size_t m = repeat_.marker_size;
  char leading[record::kLongMarkerSize];
  while (done < max && (!size_ || Holds(stride))) {
    const char* at = window_.At(offset_, m, m);
    if (at == nullptr) break;
    std::memcpy(leading, at, m);
    const char* trailing = window_.At(offset_ + stride - m, m, 2 * m);
    if (trailing == nullptr || !record::Repeats(leading, trailing, repeat_)) {
      break;
    }
    ++done;
    offset_ += stride;
  }
  return done;
}

namespace {

// The repeats of `repeat` among the `records` from `offset` on, counted in
// mappings of the file: as many as precede the first that is not one, or the
// first mapping that fails.
std::uint64_t CountMappedRepeats(const InputFile& file, std::uint64_t offset,
                                 std::uint64_t records,
                                 const record::Repeat& repeat) {
  const std::uint64_t stride = repeat.stride;
  std::uint64_t done = 0;
  while (done < records) {
    const std::uint64_t fit =
        std::min(records - done, kMaxMappedBytes / stride);
    std::uint64_t repeats = 0;
    auto count = [&](const char* p) {
      repeats = record::CountRepeats(p, fit * stride, repeat, fit);
    };
    if (VisitMapped(file, offset + done * stride,
                    static_cast<std::size_t>(fit * stride),
                    count) != MapStatus::kVisited) {
      break;
    }
    done += repeats;
    if (repeats < fit) break;
  }
  return done;
}

}  // namespace

std::uint64_t RecordScanner::SkipMappedRepeats(std::uint64_t max) {
  const std::uint64_t stride = repeat_.stride;
  if (!size_ || *size_ <= offset_) return 0;
  const std::uint64_t records = std::min(max, (*size_ - offset_) / stride);
  if (records == 0) return 0;
  // Many records are counted by two threads, half each: the walk is a pass
  // over every byte, which the second core would otherwise sit out. The
  // second half's count stands only where the first half holds no other.
  constexpr std::uint64_t kSplitBytes = std::uint64_t{32} << 20;
  std::uint64_t done;
  if (records * stride < kSplitBytes || one_thread_) {
    done = CountMappedRepeats(file_, offset_, records, repeat_);
  } else {
    const std::uint64_t half = records / 2;
    std::uint64_t second = 0;
    std::thread helper = StartHelperThread([&] {
      second = CountMappedRepeats(file_, offset_ + half * stride,
                                  records - half, repeat_);
    });
    done = CountMappedRepeats(file_, offset_, half, repeat_);
    helper.join();
    if (done == half) done += second;
  }
  offset_ += done * stride;
  return done;
}

bool RecordsRepeat(InputFile& file, std::uint64_t size,
                   const record::Framing& framing, std::uint64_t at,
                   std::uint64_t n, const record::Repeat& repeat,
                   bool markers_only) {
  if (n == 0) return true;
  RecordScanner scanner(file, size, framing, at);
  scanner.WalkBeside(markers_only);
  std::vector<PayloadPiece> pieces;
  std::uint64_t bytes = 0;
  // The first is walked, which gives the scanner the repeat it counts.
  if (scanner.Next(0, &pieces, &bytes) != record::Step::kOk) return false;
  const record::Repeat& first = scanner.repeat();
  if (first.stride != repeat.stride ||
      first.marker_size != repeat.marker_size ||
      std::memcmp(first.marker, repeat.marker, repeat.marker_size) != 0) {
    return false;
  }
  return scanner.SkipRepeats(n - 1) == n - 1 && scanner.error() == 0;
}

}  // namespace unf2mat
