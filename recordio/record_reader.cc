#include "recordio/record_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

#include "recordio/coding.h"

namespace unf2mat {
namespace {

struct Marker {
  std::uint64_t length;
  bool negative;
};

// Empty for a count that no file can hold.
std::optional<Marker> DecodeMarker(const char* src,
                                   const record::Framing& framing) {
  std::int64_t count;
  if (framing.marker_size == record::kMarkerSize) {
    std::uint32_t raw = DecodeHost32(src);
    count =
        std::bit_cast<std::int32_t>(framing.swapped ? ByteSwap32(raw) : raw);
  } else {
    std::uint64_t raw = DecodeHost64(src);
    count =
        std::bit_cast<std::int64_t>(framing.swapped ? ByteSwap64(raw) : raw);
    if (count == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
  }
  if (count < 0) return Marker{static_cast<std::uint64_t>(-count), true};
  return Marker{static_cast<std::uint64_t>(count), false};
}

// A subrecord's trailing marker repeats its length, negative for all but the
// first subrecord of a record.
bool Closes(const std::optional<Marker>& trailing, const Marker& leading,
            bool first) {
  return trailing && trailing->length == leading.length &&
         trailing->negative != first;
}

void SwapValues(char* bytes, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    std::uint32_t word;
    std::memcpy(&word, bytes + k * record::kValueSize, sizeof word);
    word = ByteSwap32(word);
    std::memcpy(bytes + k * record::kValueSize, &word, sizeof word);
  }
}

}  // namespace

std::size_t RecordReader::ReadUpTo(char* dst, std::size_t n) {
  std::size_t done = 0;
  while (done < n && error_ == 0) {
    if (pos_ == len_) {
      // Large reads go straight to the caller's array.
      bool direct = n - done >= buffer_.size();
      IoResult r = direct ? file_.Read(dst + done, n - done)
                          : file_.Read(buffer_.data(), buffer_.size());
      if (r.error != 0) error_ = r.error;
      if (r.bytes == 0) break;
      file_pos_ += r.bytes;
      if (direct) {
        pos_ = len_ = 0;
        done += r.bytes;
        continue;
      }
      pos_ = 0;
      len_ = r.bytes;
    }
    std::size_t take = std::min(n - done, len_ - pos_);
    std::memcpy(dst + done, buffer_.data() + pos_, take);
    pos_ += take;
    done += take;
  }
  return done;
}

bool RecordReader::Skip(std::uint64_t n) {
  std::uint64_t buffered = std::min<std::uint64_t>(n, len_ - pos_);
  pos_ += static_cast<std::size_t>(buffered);
  n -= buffered;
  if (n == 0) return true;
  file_pos_ += n;
  error_ = file_.Skip(n);
  return error_ == 0;
}

bool RecordReader::FillBuffer() {
  while (len_ < buffer_.size()) {
    IoResult r = file_.Read(buffer_.data() + len_, buffer_.size() - len_);
    len_ += r.bytes;
    file_pos_ += r.bytes;
    if (r.error != 0) {
      error_ = r.error;
      return false;
    }
    if (r.bytes == 0) {
      buffer_holds_end_ = true;
      break;
    }
  }
  return true;
}

RecordReader::Check RecordReader::ReadAhead(std::uint64_t offset, char* dst,
                                            std::size_t n) {
  const std::uint64_t start = file_pos_ - len_;  // of what the buffer holds
  if (offset >= start && offset - start <= len_ &&
      n <= len_ - (offset - start)) {
    std::memcpy(dst, buffer_.data() + (offset - start), n);
    return Check::kFits;
  }
  if (buffer_holds_end_) return Check::kDamaged;
  if (offset < ahead_start_ || offset - ahead_start_ > ahead_len_ ||
      n > ahead_len_ - (offset - ahead_start_)) {
    ahead_.resize(kAheadSize);
    IoResult r = file_.ReadAt(offset, ahead_.data(), ahead_.size());
    if (r.error == ESPIPE) return Check::kUnknown;
    if (r.error != 0) {
      error_ = r.error;
      return Check::kFailed;
    }
    ahead_start_ = offset;
    ahead_len_ = r.bytes;
    if (r.bytes < n) return Check::kDamaged;
  }
  std::memcpy(dst, ahead_.data() + (offset - ahead_start_), n);
  return Check::kFits;
}

std::uint64_t RecordReader::position() const {
  return file_pos_ - (len_ - pos_);
}

std::optional<std::uint64_t> RecordReader::BytesLeft() const {
  std::optional<std::uint64_t> size = file_.Size();
  if (!size || *size < position()) return std::nullopt;
  return *size - position();
}

std::optional<std::uint64_t> RecordReader::CountRecordsAhead(
    std::size_t count, std::uint64_t max_records) {
  std::uint64_t offset = position();
  std::uint64_t records = 0;
  while (records < max_records) {
    std::uint64_t bytes = 0;
    switch (RecordFits(framing_, &offset, &bytes)) {
      case Check::kFits:
        if (bytes < std::uint64_t{count} * record::kValueSize) return records;
        ++records;
        break;
      case Check::kDamaged:
        return records;
      case Check::kUnknown:
      case Check::kFailed:
        return std::nullopt;
    }
  }
  return records;
}

RecordReader::Check RecordReader::RecordFits(const record::Framing& framing,
                                             std::uint64_t* offset,
                                             std::uint64_t* bytes) {
  const std::size_t m = framing.marker_size;
  char marker[record::kLongMarkerSize];
  std::uint64_t total = 0;
  for (bool first = true;; first = false) {
    Check check = ReadAhead(*offset, marker, m);
    if (check != Check::kFits) return check;
    std::optional<Marker> leading = DecodeMarker(marker, framing);
    if (!leading) return Check::kDamaged;
    *offset += m + leading->length;
    check = ReadAhead(*offset, marker, m);
    if (check != Check::kFits) return check;
    if (!Closes(DecodeMarker(marker, framing), *leading, first)) {
      return Check::kDamaged;
    }
    *offset += m;
    total += leading->length;
    if (!leading->negative) break;
  }
  *bytes = total;
  return Check::kFits;
}

RecordReader::Check RecordReader::FirstRecordFits(
    const record::Framing& framing, std::uint64_t* bytes) {
  std::uint64_t offset = 0;
  Check check = RecordFits(framing, &offset, bytes);
  // An empty record reads alike in every framing (its markers are all zero
  // bytes), so the records after it decide, as far as the buffer reaches.
  std::uint64_t length = *bytes;
  while (check == Check::kFits && length == 0 && offset < len_) {
    check = RecordFits(framing, &offset, &length);
  }
  return check;
}

ReadStatus RecordReader::DetectFraming(
    std::optional<std::uint64_t>* first_record_bytes) {
  first_record_bytes->reset();
  framing_ = record::kFramings[0];
  if (!FillBuffer()) return ReadStatus::kFailed;
  for (const record::Framing& framing : record::kFramings) {
    std::uint64_t bytes = 0;
    switch (FirstRecordFits(framing, &bytes)) {
      case Check::kFits:
        *first_record_bytes = bytes;
        [[fallthrough]];
      case Check::kUnknown:
        framing_ = framing;
        return ReadStatus::kOk;
      case Check::kFailed:
        return ReadStatus::kFailed;
      case Check::kDamaged:
        break;
    }
  }
  return ReadStatus::kOk;
}

ReadStatus RecordReader::ReadRecord(float* values, std::size_t capacity,
                                    std::uint64_t* bytes) {
  return ReadRecordThrough(values, capacity, capacity, nullptr, bytes);
}

ReadStatus RecordReader::ReadRecordInPieces(float* window,
                                            std::size_t window_values,
                                            std::size_t capacity,
                                            const PieceSink& sink,
                                            std::uint64_t* bytes) {
  return ReadRecordThrough(window, std::max<std::size_t>(window_values, 1),
                           capacity, &sink, bytes);
}

ReadStatus RecordReader::ReadRecordThrough(float* window,
                                           std::size_t window_values,
                                           std::size_t capacity,
                                           const PieceSink* sink,
                                           std::uint64_t* bytes) {
  const std::size_t m = framing_.marker_size;
  const std::uint64_t room = std::uint64_t{capacity} * record::kValueSize;
  const std::size_t window_bytes = window_values * record::kValueSize;
  char* dst = reinterpret_cast<char*>(window);
  std::size_t filled = 0;     // bytes in the window
  std::size_t delivered = 0;  // values handed to the sink
  auto deliver = [&] {
    const std::size_t n = filled / record::kValueSize;
    if (framing_.swapped) SwapValues(dst, n);
    if (sink != nullptr && n > 0) (*sink)(delivered, n);
    delivered += n;
    filled = 0;
  };
  char marker[record::kLongMarkerSize];
  std::uint64_t taken = 0;
  std::uint64_t total = 0;
  for (bool first = true;; first = false) {
    std::size_t got = ReadUpTo(marker, m);
    if (error_ != 0) return ReadStatus::kFailed;
    if (got == 0 && first) return ReadStatus::kEnd;
    if (got < m) return ReadStatus::kShort;
    std::optional<Marker> leading = DecodeMarker(marker, framing_);
    if (!leading) return ReadStatus::kShort;
    std::uint64_t take = std::min(leading->length, room - taken);
    const std::uint64_t skip = leading->length - take;
    while (take > 0) {
      const std::size_t chunk = static_cast<std::size_t>(
          std::min<std::uint64_t>(take, window_bytes - filled));
      got = ReadUpTo(dst + filled, chunk);
      if (error_ != 0) return ReadStatus::kFailed;
      if (got < chunk) return ReadStatus::kShort;
      filled += chunk;
      take -= chunk;
      taken += chunk;
      if (sink != nullptr && filled == window_bytes) deliver();
    }
    if (!Skip(skip)) return ReadStatus::kFailed;
    got = ReadUpTo(marker, m);
    if (error_ != 0) return ReadStatus::kFailed;
    if (got < m || !Closes(DecodeMarker(marker, framing_), *leading, first)) {
      return ReadStatus::kShort;
    }
    total += leading->length;
    if (!leading->negative) break;
  }
  deliver();
  *bytes = total;
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

namespace {

// A record count as the fast path needs it: the count of an unsplit record,
// or kNotPlain for any other.
constexpr std::uint64_t kNotPlain = ~std::uint64_t{0};

template <std::size_t kMarker, bool kSwapped>
std::uint64_t PlainCount(const char* src) {
  if constexpr (kMarker == record::kMarkerSize) {
    std::uint32_t raw = DecodeHost32(src);
    if constexpr (kSwapped) raw = ByteSwap32(raw);
    return raw >> 31 ? kNotPlain : raw;
  } else {
    std::uint64_t raw = DecodeHost64(src);
    if constexpr (kSwapped) raw = ByteSwap64(raw);
    return raw >> 63 ? kNotPlain : raw;
  }
}

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
  if constexpr (kSwapped) SwapValues(dst, bytes / record::kValueSize);
}

// Takes whole unsplit records of at least `wanted` bytes that lie in
// buffer[*pos, len), up to max_records of them; returns how many. A record as
// long as the one before is found where that length predicts, so that no load
// waits for the one before it.
template <std::size_t kMarker, bool kSwapped>
std::size_t TakeBufferedRecords(const char* buffer, std::size_t* pos,
                                std::size_t len, char* dst, std::size_t wanted,
                                std::size_t max_records) {
  std::size_t p = *pos;
  std::size_t k = 0;
  std::uint64_t length = kNotPlain;
  for (; k < max_records && len - p >= 2 * kMarker; ++k) {
    const std::uint64_t count = PlainCount<kMarker, kSwapped>(buffer + p);
    if (count != length) {
      if (count < wanted || count == kNotPlain) break;
      length = count;
    }
    if (length > len - p - 2 * kMarker ||
        PlainCount<kMarker, kSwapped>(buffer + p + kMarker + length) !=
            length) {
      break;
    }
    CopyValues<kSwapped>(dst + k * wanted, buffer + p + kMarker, wanted);
    p += 2 * kMarker + static_cast<std::size_t>(length);
  }
  *pos = p;
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
    k += take(buffer_.data(), &pos_, len_, dst + k * wanted, wanted,
              max_records - k);
    if (k == max_records) break;
    // A record across the end of the buffer, split, short or damaged.
    *status = ReadValues(values + k * count, count);
    if (*status != ReadStatus::kOk) break;
    ++k;
  }
  return k;
}

}  // namespace unf2mat
