#include "recordio/record_reader.h"

#include <algorithm>
#include <cstring>

#include "common/coding.h"
#include "recordio/record_walk.h"

namespace unf2mat {
namespace {

using record::AheadCursor;
using record::ReadCursor;
using record::Step;
using record::WalkRecord;

ReadStatus ToReadStatus(Step step) {
  switch (step) {
    case Step::kOk:
      return ReadStatus::kOk;
    case Step::kEnd:
      return ReadStatus::kEnd;
    case Step::kFailed:
      return ReadStatus::kFailed;
    case Step::kDamaged:
    case Step::kBeyondReach:
      break;
  }
  return ReadStatus::kDamaged;
}

// Values of kValue bytes: only a swap tells the widths apart.
template <bool kSwapped, std::size_t kValue>
void CopyValues(char* dst, const char* src, std::size_t bytes) {
  // Few values are copied inline: a call per record would cost more.
  constexpr std::size_t kInline = 16 * record::kValueSize;
  if (bytes <= kInline && kValue == record::kValueSize) {
    for (std::size_t k = 0; k < bytes; k += record::kValueSize) {
      MoveValue<record::kValueSize, kSwapped>(src + k, dst + k);
    }
    return;
  }
  std::memcpy(dst, src, bytes);
  if constexpr (kSwapped) record::SwapValues(dst, bytes, kValue);
}

using Copier = void (*)(char*, const char*, std::size_t);

Copier CopierFor(bool swapped, std::size_t value_size) {
  if (!swapped) return CopyValues<false, record::kValueSize>;
  return value_size == record::kValueSize
             ? CopyValues<true, record::kValueSize>
             : CopyValues<true, 2 * record::kValueSize>;
}

}  // namespace

ReadStatus RecordReader::ReadRecord(void* values, std::size_t capacity,
                                    std::uint64_t* bytes) {
  return ReadThrough(values, capacity, capacity, nullptr, bytes);
}

ReadStatus RecordReader::ReadRecordInPieces(void* window,
                                            std::size_t window_values,
                                            std::size_t capacity,
                                            const PieceSink& sink,
                                            std::uint64_t* bytes) {
  return ReadThrough(window, std::max<std::size_t>(window_values, 1), capacity,
                     &sink, bytes);
}

ReadStatus RecordReader::ReadThrough(void* window, std::size_t window_values,
                                     std::size_t capacity,
                                     const PieceSink* sink,
                                     std::uint64_t* bytes) {
  ReadCursor cursor(in_, framing_.swapped, static_cast<char*>(window),
                    window_values * value_size_, sink, value_size_);
  last_ = {in_.position(), 0};
  std::uint64_t length = 0;
  const Step step =
      WalkRecord(cursor, framing_, std::uint64_t{capacity} * value_size_,
                 &length, &repeat_);
  if (step != Step::kOk) {
    repeat_.stride = 0;
    return ToReadStatus(step);
  }
  cursor.Deliver();
  last_.subrecords = cursor.markers();
  *bytes = length;
  return ReadStatus::kOk;
}

std::size_t RecordReader::ReadRepeats(void* values, std::size_t count,
                                      std::size_t max) {
  const std::uint64_t stride = repeat_.stride;
  // A repeat longer than half the buffer is read as any record is.
  if (stride == 0 || stride > in_.capacity() / 2) return 0;
  const std::size_t wanted = count * value_size_;
  const std::size_t payload = repeat_.marker_size;  // where values start
  if (wanted > stride - 2 * payload) return 0;
  const Copier copy = CopierFor(framing_.swapped, value_size_);
  char* dst = static_cast<char*>(values);
  std::size_t k = 0;
  while (k < max && in_.Fill(stride) >= stride) {
    const std::size_t n = static_cast<std::size_t>(
        record::CountRepeats(in_.data(), in_.available(), repeat_, max - k));
    if (n == 0) break;
    for (std::size_t i = 0; i < n; ++i) {
      copy(dst + (k + i) * wanted, in_.data() + i * stride + payload, wanted);
    }
    in_.Consume(n * stride);
    k += n;
  }
  return k;
}

bool RecordReader::WalkAhead(
    const std::function<bool(std::uint64_t bytes)>& take) {
  AheadCursor cursor(in_, /*reach=*/0);
  for (;;) {
    std::uint64_t bytes = 0;
    switch (WalkRecord(cursor, framing_, 0, &bytes)) {
      case Step::kOk:
        if (!take(bytes)) return true;
        break;
      case Step::kEnd:
      case Step::kDamaged:
        return true;
      case Step::kBeyondReach:
      case Step::kFailed:
        return false;
    }
  }
}

}  // namespace unf2mat
