#include "recordio/record_reader.h"

#include <algorithm>
#include <cstring>

#include "common/coding.h"
#include "recordio/record_walk.h"

namespace unf2mat {
namespace {

using record::AheadCursor;
using record::DecodeCount;
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
    case Step::kShort:
    case Step::kBeyondReach:
      break;
  }
  return ReadStatus::kShort;
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
  last_ = {in_.position(), std::nullopt, 0};
  std::uint64_t length = 0;
  const Step step = WalkRecord(cursor, framing_,
                               std::uint64_t{capacity} * value_size_, &length);
  if (step != Step::kOk) return ToReadStatus(step);
  cursor.Deliver();
  last_.bytes = length;
  last_.subrecords = cursor.markers();
  *bytes = length;
  return ReadStatus::kOk;
}

ReadStatus RecordReader::ReadValues(void* values, std::size_t count) {
  std::uint64_t bytes = 0;
  ReadStatus status = ReadRecord(values, count, &bytes);
  if (status == ReadStatus::kOk && bytes < std::uint64_t{count} * value_size_) {
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
        if (bytes < std::uint64_t{count} * value_size_) return records;
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

// Values of kValue bytes: only a swap tells the widths apart.
template <bool kSwapped, std::size_t kValue>
void CopyValues(char* dst, const char* src, std::size_t bytes) {
  // Few values are copied inline: a call per record would cost more.
  constexpr std::size_t kInline = 16 * record::kValueSize;
  if (bytes <= kInline && kValue == record::kValueSize) {
    for (std::size_t k = 0; k < bytes; k += record::kValueSize) {
      std::uint32_t word = DecodeHost32(src + k);
      if constexpr (kSwapped) word = ByteSwap32(word);
      std::memcpy(dst + k, &word, sizeof word);
    }
    return;
  }
  std::memcpy(dst, src, bytes);
  if constexpr (kSwapped) record::SwapValues(dst, bytes, kValue);
}

// Takes whole unsplit records of at least `wanted` bytes that lie in
// buffer[0, len), up to max_records of them; returns how many and sets *used
// to the bytes they took. Anything else is left to the walk. A record as long
// as the one before is found where that length predicts, so that no load
// waits for the one before it.
template <std::size_t kMarker, bool kSwapped, std::size_t kValue>
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
    CopyValues<kSwapped, kValue>(dst + k * wanted, buffer + p + kMarker,
                                 wanted);
    p += 2 * kMarker + static_cast<std::size_t>(n);
  }
  *used = p;
  return k;
}

template <std::size_t kMarker>
auto TakerFor(bool swapped, std::size_t value_size) {
  if (!swapped) return TakeBufferedRecords<kMarker, false, record::kValueSize>;
  return value_size == record::kValueSize
             ? TakeBufferedRecords<kMarker, true, record::kValueSize>
             : TakeBufferedRecords<kMarker, true, 2 * record::kValueSize>;
}

}  // namespace

std::size_t RecordReader::ReadRows(void* values, std::size_t count,
                                   std::size_t max_records,
                                   ReadStatus* status) {
  const std::size_t wanted = count * value_size_;
  char* dst = static_cast<char*>(values);
  auto take = record::kLongMarkerSize == framing_.marker_size
                  ? TakerFor<8>(framing_.swapped, value_size_)
                  : TakerFor<4>(framing_.swapped, value_size_);
  std::size_t k = 0;
  *status = ReadStatus::kOk;
  while (k < max_records) {
    std::size_t used = 0;
    k += take(in_.data(), in_.available(), &used, dst + k * wanted, wanted,
              max_records - k);
    in_.Consume(used);
    if (k == max_records) break;
    // A record across the end of the buffer, split, short or damaged.
    *status = ReadValues(dst + k * wanted, count);
    if (*status != ReadStatus::kOk) break;
    ++k;
  }
  return k;
}

}  // namespace unf2mat
