#include "io/line_reader.h"

#include <algorithm>
#include <cstring>

namespace unf2mat {

ReadStatus LineReader::ReadLine(std::size_t width, std::string* line) {
  line->clear();
  bool any = false;
  while (in_.Fill(1) > 0) {
    any = true;
    const char* begin = in_.data();
    const char* newline =
        static_cast<const char*>(std::memchr(begin, '\n', in_.available()));
    const std::size_t length = newline != nullptr
                                   ? static_cast<std::size_t>(newline - begin)
                                   : in_.available();
    if (line->size() < width) {
      line->append(begin, std::min(length, width - line->size()));
    }
    if (newline != nullptr) {
      in_.Consume(length + 1);
      return ReadStatus::kOk;
    }
    in_.Consume(length);
  }
  if (in_.error() != 0) return ReadStatus::kFailed;
  return any ? ReadStatus::kOk : ReadStatus::kEnd;
}

ReadStatus LineReader::SkipLine() {
  std::string ignored;
  return ReadLine(0, &ignored);
}

}  // namespace unf2mat
