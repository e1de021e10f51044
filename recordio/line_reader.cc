#include "recordio/line_reader.h"

namespace unf2mat {

int LineReader::NextChar() {
  if (pos_ == len_) {
    if (error_ != 0) return kReadFailed;
    IoResult r = in_.Read(buffer_, sizeof buffer_);
    if (r.error != 0) {
      error_ = r.error;
      return kReadFailed;
    }
    if (r.bytes == 0) return kEndOfInput;
    pos_ = 0;
    len_ = r.bytes;
  }
  return static_cast<unsigned char>(buffer_[pos_++]);
}

ReadStatus LineReader::ReadLine(std::size_t width, std::string* line) {
  line->clear();
  bool any = false;
  for (;;) {
    int c = NextChar();
    if (c == kReadFailed) return ReadStatus::kFailed;
    if (c == kEndOfInput) return any ? ReadStatus::kOk : ReadStatus::kEnd;
    any = true;
    if (c == '\n') return ReadStatus::kOk;
    if (line->size() < width) line->push_back(static_cast<char>(c));
  }
}

ReadStatus LineReader::SkipLine() {
  std::string ignored;
  return ReadLine(0, &ignored);
}

}  // namespace unf2mat
