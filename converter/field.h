// Fixed-length character fields: blank-padded on assignment, their lengths
// found by scanning rather than stored.
#ifndef UNF2MAT_CONVERTER_FIELD_H_
#define UNF2MAT_CONVERTER_FIELD_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace unf2mat {

template <std::size_t N>
using Field = std::array<char, N>;

// Copies text into the field, cut to fit or padded with blanks.
template <std::size_t N>
void Assign(Field<N>& field, std::string_view text) {
  std::size_t n = std::min(N, text.size());
  std::copy_n(text.data(), n, field.data());
  std::fill(field.begin() + n, field.end(), ' ');
}

// Names are at most this long: scans look no further.
inline constexpr std::size_t kScanLimit = 80;

// The number of characters before the first one in `stops`.
template <std::size_t N>
int ScanLength(const Field<N>& field, std::string_view stops) {
  std::size_t limit = std::min(N, kScanLimit);
  std::size_t n = 0;
  while (n < limit && stops.find(field[n]) == std::string_view::npos) ++n;
  return static_cast<int>(n);
}

// The field less its trailing blanks.
template <std::size_t N>
std::string_view TrimTrailingBlanks(const Field<N>& field) {
  std::string_view text(field.data(), N);
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

template <std::size_t N>
std::string_view Prefix(const Field<N>& field, int length) {
  return std::string_view(field.data(), static_cast<std::size_t>(length));
}

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_FIELD_H_
