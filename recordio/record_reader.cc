#include "recordio/record_reader.h"

#include <algorithm>
#include <cstring>

#include "recordio/coding.h"
#include "recordio/record_format.h"

namespace unf2mat {

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
      if (direct) {
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
  error_ = file_.Skip(n);
  return error_ == 0;
}

ReadStatus RecordReader::BeginRecord(std::uint32_t* bytes) {
  char marker[record::kMarkerSize];
  std::size_t got = ReadUpTo(marker, sizeof marker);
  if (error_ != 0) return ReadStatus::kFailed;
  if (got == 0) return ReadStatus::kEnd;
  if (got < sizeof marker) return ReadStatus::kShort;
  *bytes = DecodeHost32(marker);
  return ReadStatus::kOk;
}

ReadStatus RecordReader::ReadTrailingMarker(std::uint32_t leading) {
  char bytes[record::kMarkerSize];
  std::size_t got = ReadUpTo(bytes, sizeof bytes);
  if (error_ != 0) return ReadStatus::kFailed;
  if (got < sizeof bytes || DecodeHost32(bytes) != leading) {
    return ReadStatus::kShort;
  }
  return ReadStatus::kOk;
}

ReadStatus RecordReader::ReadValues(float* values, std::size_t count) {
  std::uint32_t bytes;
  ReadStatus status = BeginRecord(&bytes);
  if (status != ReadStatus::kOk) return status;
  if (bytes < std::uint64_t{count} * record::kValueSize) {
    return ReadStatus::kShort;
  }
  return FinishRecord(values, count, bytes);
}

ReadStatus RecordReader::FinishRecord(float* values, std::size_t count,
                                      std::uint32_t bytes) {
  const std::size_t wanted = count * record::kValueSize;
  std::size_t got = ReadUpTo(reinterpret_cast<char*>(values), wanted);
  if (error_ != 0) return ReadStatus::kFailed;
  if (got < wanted) return ReadStatus::kShort;
  if (!Skip(bytes - wanted)) return ReadStatus::kFailed;
  return ReadTrailingMarker(bytes);
}

}  // namespace unf2mat
