#include "loader/layout_guess.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <span>
#include <utility>

#include "common/run_error.h"
#include "loader/record_layout.h"
#include "loader/shipped_layouts.h"
#include "loader/value_judge.h"
#include "loader/value_sample.h"
#include "loader/variables.h"

namespace unf2mat {
namespace {

constexpr std::size_t kMaxGroup = 8;    // records that repeat together
constexpr std::size_t kMaxHeader = 8;   // records before them
constexpr std::size_t kNamedInts = 16;  // a header's integers named singly
constexpr std::size_t kNamedReals = 4;  // and its reals
constexpr std::size_t kMaxDims = 7;
// Values few enough that the judgement of their type is lenient.
constexpr std::size_t kFewWords = 64;

// The data file the survey read, read again from its start.
class SharedInput final : public InputFile {
 public:
  explicit SharedInput(std::shared_ptr<InputFile> file)
      : file_(std::move(file)) {}
  IoResult Read(char* dst, std::size_t n) override {
    const IoResult r = file_->ReadAt(position_, dst, n);
    position_ += r.bytes;
    return r;
  }
  int Skip(std::uint64_t n) override {
    if (n > UINT64_MAX - position_) return EINVAL;
    position_ += n;
    return 0;
  }
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override {
    return file_->ReadAt(offset, dst, n);
  }
  std::optional<std::uint64_t> Size() const override { return file_->Size(); }

 private:
  std::shared_ptr<InputFile> file_;
  std::uint64_t position_ = 0;
};

// How a layout reads the file: not whole, whole, or whole but only into a
// file that is not Level 5.
enum class Fit : std::uint8_t { kNo, kWhole, kWholeInHdf5 };

bool ReadsWhole(const PlacedFile& placed, std::uint64_t size) {
  const WalkResult& walk = placed.walk;
  return placed.choice.basis != FramingChoice::Basis::kNoneFits &&
         !walk.refusal && walk.refusal_message.empty() &&
         walk.end.reason == LoadEnd::Reason::kEnd && walk.longer.empty() &&
         !walk.trailing && walk.walked_to == size;
}

Fit Check(const Layout& layout, const Survey& survey, std::string_view name,
          const std::vector<std::string>& spool_dirs) {
  for (const bool level5 : {true, false}) {
    LoadRequest request;
    if (!level5) request.budget = nullptr;
    const DataInput input{std::string(name), "v"};
    try {
      const PlacedFile placed = PlaceDataFile(
          std::make_unique<SharedInput>(survey.placed.file), name, layout,
          VariableLimits(request, layout, input), spool_dirs, nullptr,
          /*describe=*/true);
      if (ReadsWhole(placed, *survey.size)) {
        return level5 ? Fit::kWhole : Fit::kWholeInHdf5;
      }
      // Only a size past a Level 5 element's may be read in HDF5.
      if (!placed.walk.refusal && placed.walk.refusal_message.empty()) {
        return Fit::kNo;
      }
    } catch (const RunError&) {
      return Fit::kNo;  // a size or a count from the file no walk takes
    }
  }
  return Fit::kNo;
}

std::string Options(Fit fit, const std::string& options) {
  return (fit == Fit::kWholeInHdf5 ? "--format v7.3 " : "") + options;
}

// The header's records and the group's: a record's lengths repeat with
// the group's period after the header.
struct Pattern {
  std::size_t header = 0;
  std::size_t group = 0;
};

std::optional<Pattern> FindPattern(const Survey& s) {
  const std::vector<std::uint64_t>& lengths = s.sequence;
  const std::uint64_t n = s.records;
  for (std::size_t p = 1; p <= kMaxGroup; ++p) {
    for (std::size_t h = 0; h <= kMaxHeader && h + p <= n; ++h) {
      // Whole repetitions, two at least of a group of several records.
      if ((n - h) % p != 0 || (p > 1 && (n - h) / p < 2)) continue;
      bool fits = true;
      // A header record is short, and, before a group of one, unlike it.
      for (std::size_t i = 0; i < h && fits; ++i) {
        fits = lengths[i] <= Survey::kHeadBytes &&
               (p > 1 || lengths[i] != lengths[h]);
      }
      for (std::size_t i = h + p; i < lengths.size() && fits; ++i) {
        fits = lengths[i] == lengths[i - p];
      }
      if (!fits) continue;
      for (std::size_t i = 0; i < h + p; ++i) {
        if (lengths[i] == 0) return std::nullopt;
      }
      if (h == 0 && p == 1) return std::nullopt;  // plain rows
      return Pattern{h, p};
    }
  }
  return std::nullopt;
}

bool Printable(char c) { return c >= 0x20 && c <= 0x7e; }

// Printable characters, perhaps padded with NULs.
bool IsText(std::string_view bytes) {
  std::size_t text = 0;
  while (text < bytes.size() && Printable(bytes[text])) ++text;
  return text > 0 &&
         bytes.find_first_not_of('\0', text) == std::string_view::npos;
}

// A few values of REAL*8: each high half a value of the range of REAL*4,
// each low half random bits of an ordinary real4 far from it. Values of few
// significant bits (a low half of zeros) are not told from real4 values with
// zeros between them.
bool FewReal8(const std::vector<std::uint32_t>& words, bool big_endian) {
  if (words.size() % 2 != 0) return false;
  std::size_t values = 0;
  for (std::size_t k = 0; k < words.size(); k += 2) {
    const std::uint32_t high = big_endian ? words[k] : words[k + 1];
    const std::uint32_t low = big_endian ? words[k + 1] : words[k];
    if (high == 0 && low == 0) continue;
    const int exponent11 = static_cast<int>((high >> 20) & 0x7ff);
    const int high4 = static_cast<int>((high >> 23) & 0xff);
    const int low4 = static_cast<int>((low >> 23) & 0xff);
    if (exponent11 < 1023 - 126 || exponent11 > 1023 + 127 || low4 == 0 ||
        low4 == 255 || std::abs(high4 - low4) < 24) {
      return false;
    }
    ++values;
  }
  return values >= 1;
}

// Significant digits of the shortest decimal that reads back as `value`; 99
// for a NaN, an infinity or a denormal, which no value written is likely to
// be.
template <typename T>
int Digits(T value) {
  if (value == 0) return 1;
  if (!std::isnormal(value)) return 99;
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return 99;
  std::string_view mantissa(text, static_cast<std::size_t>(end - text));
  mantissa = mantissa.substr(0, mantissa.find('e'));
  std::string digits;
  for (char c : mantissa) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const std::size_t first = digits.find_first_not_of('0');
  const std::size_t last = digits.find_last_not_of('0');
  return first == std::string::npos ? 1 : static_cast<int>(last - first + 1);
}

// Values read as REAL*8 that are short decimals, shorter than the same bytes
// read as REAL*4: 12.5 rather than 0 and 2.640625. A tie is REAL*4's.
bool ShorterAsReal8(const std::vector<std::uint32_t>& words, bool big_endian) {
  if (words.size() % 2 != 0) return false;
  int digits4 = 0, digits8 = 0;
  for (std::size_t k = 0; k < words.size(); k += 2) {
    const std::uint64_t high = big_endian ? words[k] : words[k + 1];
    const std::uint64_t low = big_endian ? words[k + 1] : words[k];
    digits8 =
        std::max(digits8, Digits(std::bit_cast<double>(high << 32 | low)));
    digits4 = std::max({digits4, Digits(std::bit_cast<float>(words[k])),
                        Digits(std::bit_cast<float>(words[k + 1]))});
  }
  return digits8 <= 9 && digits8 < digits4;
}

enum class Kind : std::uint8_t { kText, kBytes, kInt4, kReal4, kReal8 };

// What the records `samples` (the first bytes of each) of `length` bytes
// hold; none where the values look like REAL*4 of the other byte order,
// which nothing reads right.
std::optional<Kind> Classify(const std::vector<std::string_view>& samples,
                             std::uint64_t length, bool big_endian,
                             bool swapped) {
  if (length <= Survey::kHeadBytes &&
      std::all_of(samples.begin(), samples.end(), IsText)) {
    return Kind::kText;
  }
  if (length % 4 != 0) return Kind::kBytes;
  std::vector<std::uint32_t> words;
  for (std::string_view sample : samples) {
    const std::vector<std::uint32_t> more = HostWords(sample, swapped);
    words.insert(words.end(), more.begin(), more.end());
  }
  switch (JudgeValues(words, big_endian, length % 8 == 0)) {
    case ValueLook::kSwappedReal4:
      return std::nullopt;
    case ValueLook::kReal8:
      return Kind::kReal8;
    case ValueLook::kInt4:
      return Kind::kInt4;
    case ValueLook::kReal4:
      break;
  }
  if (words.size() <= kFewWords) {
    if (std::all_of(words.begin(), words.end(), SmallInteger) &&
        std::any_of(words.begin(), words.end(),
                    [](std::uint32_t w) { return w != 0; })) {
      return Kind::kInt4;
    }
    if (length % 8 == 0 &&
        (FewReal8(words, big_endian) || ShorterAsReal8(words, big_endian))) {
      return Kind::kReal8;
    }
  }
  return Kind::kReal4;
}

// A field of the layout inferred, before it is named.
struct Field {
  Field(Kind k, std::uint64_t n, bool is_array)
      : kind(k), count(n), array(is_array) {}

  Kind kind;
  std::uint64_t count;             // values; of text, its characters
  bool array;                      // else one value (one string)
  std::vector<std::int32_t> ints;  // of a header's integers, their values
  std::string name;
  std::string dims;  // of an array: "nx, ny" or "1000"
};

struct Record {
  std::vector<Field> fields;
  bool in_group = false;
};

std::string TypeName(const Field& f) {
  switch (f.kind) {
    case Kind::kText:
      return "char(" + std::to_string(f.count) + ")";
    case Kind::kBytes:
      return "int1";
    case Kind::kInt4:
      return "int4";
    case Kind::kReal4:
      return "real4";
    case Kind::kReal8:
      break;
  }
  return "real8";
}

std::uint64_t ValueBytes(Kind kind) {
  switch (kind) {
    case Kind::kText:
    case Kind::kBytes:
      return 1;
    case Kind::kInt4:
    case Kind::kReal4:
      return 4;
    case Kind::kReal8:
      break;
  }
  return 8;
}

// The fields of `count` values of `kind`: one by one where few, else an
// array.
void AddValues(Kind kind, std::uint64_t count, std::size_t named,
               std::span<const std::uint32_t> words, Record* record) {
  if (count > named) {
    Field f{kind, count, true};
    if (kind == Kind::kInt4) {
      for (std::uint32_t w : words) {
        f.ints.push_back(static_cast<std::int32_t>(w));
      }
    }
    record->fields.push_back(std::move(f));
    return;
  }
  for (std::uint64_t k = 0; k < count; ++k) {
    Field f{kind, 1, false};
    if (kind == Kind::kInt4) f.ints = {static_cast<std::int32_t>(words[k])};
    record->fields.push_back(std::move(f));
  }
}

// A header record: text, text then integers, or values of one type.
std::optional<Record> HeaderRecord(std::string_view bytes, bool big_endian,
                                   bool swapped) {
  Record record;
  std::size_t text = 0;
  while (text < bytes.size() && Printable(bytes[text])) ++text;
  text = text / 4 * 4;
  if (text >= 4 && text < bytes.size() && bytes.size() % 4 == 0) {
    const std::vector<std::uint32_t> rest =
        HostWords(bytes.substr(text), swapped);
    if (std::all_of(rest.begin(), rest.end(), SmallInteger)) {
      record.fields.emplace_back(Kind::kText, text, false);
      AddValues(Kind::kInt4, rest.size(), kNamedInts, rest, &record);
      return record;
    }
  }
  const std::optional<Kind> kind =
      Classify({bytes}, bytes.size(), big_endian, swapped);
  if (!kind) return std::nullopt;
  if (*kind == Kind::kText || *kind == Kind::kBytes) {
    record.fields.emplace_back(*kind, bytes.size(), *kind == Kind::kBytes);
    return record;
  }
  const std::vector<std::uint32_t> words = HostWords(bytes, swapped);
  AddValues(*kind, bytes.size() / ValueBytes(*kind),
            *kind == Kind::kInt4 ? kNamedInts : kNamedReals, words, &record);
  return record;
}

// A header integer: field `field` of record `record`, value `element` of it.
struct Slot {
  std::size_t record, field, element;
  std::int32_t value;
  bool in_array;
};

// Names not yet taken: the name itself, else it with 2, 3, ...
class Names {
 public:
  std::string Take(const std::string& base) {
    std::string name = base;
    for (int k = 2; taken_.count(name) > 0; ++k) {
      name = base + std::to_string(k);
    }
    taken_.insert(name);
    return name;
  }
  bool Taken(const std::string& name) const { return taken_.count(name) > 0; }

 private:
  std::set<std::string> taken_;
};

// The header integers in a row whose product is `count`: the longest such
// run (the first of those), less the ones at either end.
std::optional<std::vector<Slot>> DimsOf(
    const std::vector<std::vector<Slot>>& by_record, std::uint64_t count) {
  std::optional<std::vector<Slot>> best;
  for (const std::vector<Slot>& slots : by_record) {
    for (std::size_t first = 0; first < slots.size(); ++first) {
      std::uint64_t product = 1;
      for (std::size_t last = first;
           last < slots.size() && last - first < kMaxDims; ++last) {
        if (slots[last].value < 1) break;
        product *= static_cast<std::uint64_t>(slots[last].value);
        if (product > count) break;
        if (product != count) continue;
        std::size_t a = first, b = last + 1;
        while (b - a > 1 && slots[a].value == 1) ++a;
        while (b - a > 1 && slots[b - 1].value == 1) --b;
        // One value of an array that equals a size is likely chance.
        const bool chance = b - a == 1 && slots[a].in_array;
        if (!chance && (!best || b - a > best->size())) {
          best = std::vector<Slot>(slots.begin() + static_cast<long>(a),
                                   slots.begin() + static_cast<long>(b));
        }
      }
    }
  }
  return best;
}

std::string Render(const std::vector<Record>& records) {
  std::string text, group;
  for (const Record& record : records) {
    std::string items;
    for (std::size_t k = 0; k < record.fields.size(); ++k) {
      const Field& f = record.fields[k];
      items += (k == 0 ? "" : ", ") + f.name;
      const bool joined =
          k + 1 < record.fields.size() && !f.array &&
          !record.fields[k + 1].array && record.fields[k + 1].kind == f.kind &&
          (f.kind != Kind::kText || record.fields[k + 1].count == f.count);
      if (joined) continue;
      items += ": " + TypeName(f);
      if (f.array) items += "(" + f.dims + ")";
    }
    std::string& to = record.in_group ? group : text;
    to += (to.empty() ? "" : "; ") + ("record " + items);
  }
  return text + (text.empty() ? "" : "; ") + "repeat { " + group + " }";
}

}  // namespace

std::optional<std::string> InferLayout(const Survey& s) {
  const std::optional<Pattern> pattern = FindPattern(s);
  if (!pattern || s.heads.size() < pattern->header + pattern->group) {
    return std::nullopt;
  }
  const bool swapped = s.placed.choice.framing.swapped;
  const bool big_endian = BigEndian(s.placed);
  std::vector<Record> records;
  for (std::size_t r = 0; r < pattern->header; ++r) {
    std::optional<Record> record =
        HeaderRecord(s.heads[r], big_endian, swapped);
    if (!record) return std::nullopt;
    records.push_back(std::move(*record));
  }
  for (std::size_t j = 0; j < pattern->group; ++j) {
    const std::size_t first = pattern->header + j;
    std::vector<std::string_view> samples;
    for (std::size_t r = first; r < s.heads.size(); r += pattern->group) {
      samples.push_back(s.heads[r]);
    }
    const std::uint64_t length = s.sequence[first];
    const std::optional<Kind> kind =
        Classify(samples, length, big_endian, swapped);
    if (!kind) return std::nullopt;
    const std::uint64_t count = length / ValueBytes(*kind);
    Record record;
    record.in_group = true;
    record.fields.emplace_back(*kind, count, *kind != Kind::kText && count > 1);
    records.push_back(std::move(record));
  }

  // Header integers that dimension the group's arrays, named for it.
  std::vector<std::vector<Slot>> slots(pattern->header);
  for (std::size_t r = 0; r < pattern->header; ++r) {
    for (std::size_t f = 0; f < records[r].fields.size(); ++f) {
      const Field& field = records[r].fields[f];
      for (std::size_t e = 0; e < field.ints.size(); ++e) {
        slots[r].push_back({r, f, e, field.ints[e], field.array});
      }
    }
  }
  Names names;
  std::vector<std::optional<std::vector<Slot>>> dims(records.size());
  for (std::size_t r = pattern->header; r < records.size(); ++r) {
    Field& f = records[r].fields[0];
    if (f.array) dims[r] = DimsOf(slots, f.count);
  }
  // One record after others unlike it is an array after a header only
  // where the header gives its size.
  if (pattern->group == 1 && s.records == pattern->header + 1 &&
      !dims[pattern->header]) {
    return std::nullopt;
  }
  for (std::size_t r = pattern->header; r < records.size(); ++r) {
    if (!dims[r]) continue;
    const std::vector<Slot>& run = *dims[r];
    for (std::size_t k = 0; k < run.size(); ++k) {
      Field& header = records[run[k].record].fields[run[k].field];
      if (!header.name.empty() || header.array) continue;
      static constexpr const char* kAxes[] = {"nx", "ny", "nz"};
      header.name = names.Take(run.size() == 1   ? std::string("n")
                               : run.size() <= 3 ? std::string(kAxes[k])
                                                 : "n" + std::to_string(k + 1));
    }
  }
  // The other header fields: text is a title, values h1, h2, ...
  int numbered = 0;
  for (std::size_t r = 0; r < pattern->header; ++r) {
    for (Field& f : records[r].fields) {
      if (!f.name.empty()) continue;
      if (f.kind == Kind::kText) {
        f.name = names.Take("title");
        continue;
      }
      std::string base = "h";
      base += std::to_string(++numbered);
      f.name = names.Take(base);
    }
  }
  // The group's: three arrays alike in a row, no more, are coordinates; a
  // value alone, a time.
  const std::size_t group = pattern->header;
  auto alike = [&](std::size_t r, std::size_t q) {
    const Field& a = records[r].fields[0];
    const Field& b = records[q].fields[0];
    return a.array && b.array && a.kind == b.kind && a.count == b.count;
  };
  std::optional<std::size_t> xyz;
  for (std::size_t r = group; r < records.size() && !xyz;) {
    std::size_t end = r + 1;
    while (end < records.size() && alike(r, end)) ++end;
    if (end - r == 3 && records[r].fields[0].array) xyz = r;
    r = end;
  }
  char letter = 'a';
  for (std::size_t r = group; r < records.size(); ++r) {
    Field& f = records[r].fields[0];
    if (xyz && r >= *xyz && r < *xyz + 3) {
      f.name = names.Take(std::string(1, static_cast<char>('x' + (r - *xyz))));
    } else if (f.kind == Kind::kText) {
      f.name = names.Take("label");
    } else if (!f.array) {
      f.name = names.Take(f.kind == Kind::kInt4 ? "step" : "t");
    } else {
      while (letter <= 'w' &&
             (std::string("hijklnot").find(letter) != std::string::npos ||
              names.Taken(std::string(1, letter)))) {
        ++letter;
      }
      f.name = names.Take(letter <= 'w' ? std::string(1, letter++) : "a");
    }
  }
  for (std::size_t r = group; r < records.size(); ++r) {
    Field& f = records[r].fields[0];
    if (!f.array) continue;
    if (!dims[r]) {
      f.dims = std::to_string(f.count);
      continue;
    }
    for (const Slot& slot : *dims[r]) {
      const Field& header = records[slot.record].fields[slot.field];
      f.dims += (f.dims.empty() ? "" : ", ") + header.name;
      if (header.array) {
        f.dims += '(';
        f.dims += std::to_string(slot.element + 1);
        f.dims += ')';
      }
    }
  }
  for (std::size_t r = 0; r < group; ++r) {
    for (Field& f : records[r].fields) {
      if (f.array) f.dims = std::to_string(f.count);
    }
  }
  return Render(records);
}

std::string GuessOptions(const Survey& survey, std::uint32_t rows,
                         std::string_view name,
                         const std::vector<std::string>& spool_dirs) {
  // A file of no records is read whole by any layout that may repeat none.
  if (survey.placed.choice.basis == FramingChoice::Basis::kNoneFits ||
      !survey.size || survey.records == 0) {
    return "";
  }
  for (const ShippedLayout& shipped : ShippedLayouts()) {
    const LayoutOrError parsed =
        ParseLayoutText(shipped.text, "layout " + Quote(shipped.name));
    if (!parsed.layout) continue;
    const Fit fit = Check(*parsed.layout, survey, name, spool_dirs);
    if (fit != Fit::kNo) {
      return Options(fit, "--layout " + std::string(shipped.name));
    }
  }
  const ValueLook look = JudgeRows(survey.placed, rows);
  // Read in the markers' byte order, nothing gives their values.
  if (look == ValueLook::kSwappedReal4) return "";
  if (look == ValueLook::kReal8 || look == ValueLook::kInt4) {
    const bool real8 = look == ValueLook::kReal8;
    const Fit fit =
        Check(RowsLayout(real8 ? ValueType::kReal8 : ValueType::kInt4), survey,
              name, spool_dirs);
    if (fit != Fit::kNo) {
      return Options(fit, real8 ? "--type real8" : "--type int4");
    }
  }
  if (ReadsWhole(survey.placed, *survey.size)) return "";
  const std::optional<std::string> text = InferLayout(survey);
  if (!text) return "";
  const LayoutOrError parsed = ParseLayoutText(*text, "the layout inferred");
  if (!parsed.layout) return "";
  const Fit fit = Check(*parsed.layout, survey, name, spool_dirs);
  if (fit == Fit::kNo) return "";
  return Options(fit, "--layout " + ShellWord(*text));
}

std::string ShellWord(std::string_view text) {
  const bool plain = !text.empty() &&
                     text.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                         "VWXYZ0123456789_-+./:,=@%") == std::string_view::npos;
  if (plain) return std::string(text);
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  return word + "'";
}

}  // namespace unf2mat
