#include "loader/file_tiles.h"

#include <algorithm>
#include <cstring>

#include "common/coding.h"
#include "common/run_error.h"
#include "common/widen_values.h"
#include "io/mapped_bytes.h"
#include "loader/load_messages.h"

namespace unf2mat {
namespace {

// Rows up to this long are moved a column at a time.
constexpr std::size_t kShortRowBytes = 256;

// Values of kSize bytes: only a swap tells the types apart.
template <std::size_t kSize, bool kSwapped>
void TransposeValues(const char* src, std::size_t stride, std::size_t rows,
                     std::size_t cols, char* staging, std::size_t tile_rows,
                     std::size_t row0, std::size_t col0) {
  constexpr auto move = MoveValue<kSize, kSwapped>;
  if (tile_rows == 1) {
    // One row: the tile is the row's values in order.
    char* dst = staging + kSize * (col0 + row0);
    if constexpr (!kSwapped) {
      std::memcpy(dst, src, cols * kSize);
    } else {
      for (std::size_t c = 0; c < cols; ++c) {
        move(src + c * kSize, dst + c * kSize);
      }
    }
    return;
  }
  // The rows read lie in the read buffer, which stays in cache. Where a row
  // is short, a column at a time: each column's run written in order. Where
  // rows are long, so far apart that a column's values would crowd into few
  // cache sets, a block of columns at a time, along each row.
  const std::size_t column_step = kSize * tile_rows;
  char* first = staging + kSize * (col0 * tile_rows + row0);
  if (stride <= kShortRowBytes) {
    for (std::size_t c = 0; c < cols; ++c) {
      const char* from = src + c * kSize;
      char* to = first + c * column_step;
      for (std::size_t r = 0; r < rows; ++r) {
        move(from + r * stride, to + r * kSize);
      }
    }
    return;
  }
  constexpr std::size_t kBlock = 16;
  for (std::size_t cb = 0; cb < cols; cb += kBlock) {
    const std::size_t n = std::min(kBlock, cols - cb);
    char* to = first + cb * column_step;
    for (std::size_t r = 0; r < rows; ++r) {
      const char* from = src + r * stride + cb * kSize;
      char* at = to + r * kSize;
      for (std::size_t k = 0; k < n; ++k) {
        move(from + k * kSize, at + k * column_step);
      }
    }
  }
}

FileTiles::Transposer PickTransposer(ValueType type, bool swapped) {
  switch (ValueSize(type)) {
    case 8:
      return swapped ? TransposeValues<8, true> : TransposeValues<8, false>;
    case 2:
      return swapped ? TransposeValues<2, true> : TransposeValues<2, false>;
    case 1:
      return TransposeValues<1, false>;
    default:
      break;
  }
  return swapped ? TransposeValues<4, true> : TransposeValues<4, false>;
}

// Row pieces are read in spans, gaps and all, where the gaps are no larger
// than the pieces or than a few pages: fewer, larger reads that copy at most
// twice what is used.
constexpr std::uint64_t kMaxSpanGap = std::uint64_t{1} << 14;

}  // namespace

bool FileTiles::InSpans(const Part& part, const RecordPlaces::Run& run,
                        std::uint64_t piece, std::size_t buffer_bytes) const {
  return part.file.places->Layout(run).size() == 1 && run.stride > 0 &&
         run.stride <= buffer_bytes / 2 &&
         run.stride - std::min(piece, run.stride) <=
             std::max(piece, kMaxSpanGap);
}

FileTiles::FileTiles(std::vector<TilePart> parts, RecordView view,
                     std::size_t read_bytes)
    : view_(std::move(view)), value_size_(ValueSize(view_.type)) {
  std::uint64_t first_row = 0;
  for (TilePart& part : parts) {
    const std::uint64_t rows = part.places->rows();
    const Transposer transpose = PickTransposer(view_.type, part.swapped);
    parts_.push_back({std::move(part), first_row, transpose});
    first_row += rows;
  }
  // No larger than the files: a small file's conversion takes few pages.
  std::uint64_t bytes = 0;
  for (const Part& part : parts_) bytes += part.file.size;
  first_.buffer.resize(static_cast<std::size_t>(
      std::clamp<std::uint64_t>(bytes, 2 * ValueSize(ValueType::kReal8),
                                std::max<std::size_t>(read_bytes, 16))));
}

const FileTiles::Part& FileTiles::PartOf(std::uint64_t record) const {
  auto after = std::upper_bound(
      parts_.begin(), parts_.end(), record,
      [](std::uint64_t r, const Part& part) { return r < part.first_row; });
  return *(after - 1);
}

void FileTiles::ReadExact(const Part& part, std::uint64_t offset, char* dst,
                          std::size_t n) {
  while (n > 0) {
    const IoResult got = part.file.file->ReadAt(offset, dst, n);
    if (got.error != 0) {
      throw RunError(
          FileError("cannot read data file", part.file.name, got.error));
    }
    if (got.bytes == 0) {
      throw RunError("data file " + Quote(part.file.name) +
                     " changed while it was converted: it now ends before "
                     "byte " +
                     std::to_string(offset + n) + " of its " +
                     std::to_string(part.file.size));
    }
    offset += got.bytes;
    dst += got.bytes;
    n -= got.bytes;
  }
}

const char* FileTiles::Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                            std::size_t tc, char* staging) {
  // Records taken unread that did not hold: the rest would be in vain.
  for (const Part& part : parts_) {
    if (part.file.markers && part.file.markers->failed()) throw Unforeseen();
  }
  if (view_.records_as_columns) {
    FillColumns(first_, r0, tr, c0, tc, staging);
    CheckExact(r0, tr, c0, tc, staging);
    return staging;
  }
  // A large tile whose rows are read one by one is read by two threads, half
  // of its rows each: those reads of cached pages and their moves cost more
  // than anything else. Rows read in spans cost the second thread more than
  // it saves.
  constexpr std::uint64_t kSplitBytes = std::uint64_t{1} << 20;
  const std::uint64_t piece = std::uint64_t{tc} * value_size_;
  const Part& part = PartOf(r0);
  if (tr < 2 || tr * piece < kSplitBytes ||
      InSpans(part, part.file.places->RunOf(r0 - part.first_row), piece,
              first_.buffer.size())) {
    FillPart(first_, r0, r0 + tr, r0, tr, c0, tc, staging);
    CheckExact(r0, tr, c0, tc, staging);
    return staging;
  }
  if (!helper_) {
    helper_ = std::make_unique<Worker>();
    second_.buffer.resize(first_.buffer.size());
  }
  const std::uint64_t middle = r0 + tr / 2;
  std::string failure;
  helper_->Run([&] {
    try {
      FillPart(second_, middle, r0 + tr, r0, tr, c0, tc, staging);
    } catch (const RunError& e) {
      failure = e.what();
      return 1;
    }
    return 0;
  });
  // The helper uses what this frame holds until it is done, however this
  // thread's half ends.
  struct WaitForHelper {
    Worker& helper;
    ~WaitForHelper() { helper.Wait(); }
  } wait{*helper_};
  FillPart(first_, r0, middle, r0, tr, c0, tc, staging);
  helper_->Wait();
  if (!failure.empty()) throw RunError(failure);
  CheckExact(r0, tr, c0, tc, staging);
  return staging;
}

void FileTiles::FillPart(Reader& reader, std::uint64_t from, std::uint64_t to,
                         std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                         std::size_t tc, char* staging) {
  const std::uint64_t piece = std::uint64_t{tc} * value_size_;
  for (std::uint64_t r = from; r < to;) {
    const Part& part = PartOf(r);
    const RecordPlaces::Run& run = part.file.places->RunOf(r - part.first_row);
    const std::uint64_t r_end =
        std::min(to, part.first_row + run.first_row + run.rows);
    const std::uint64_t at = view_.offset + c0 * value_size_;
    const auto take = [&](const char* span, std::uint64_t rows,
                          std::uint64_t k) {
      part.transpose(span, run.stride, rows, tc, staging, tr, k - r0, 0);
    };
    if (InSpans(part, run, piece, reader.buffer.size())) {
      // Mapped where the file maps; read from where that stopped.
      const std::uint64_t k = MapSpans(part, run, r, r_end, at, piece, take);
      ReadSpans(reader, part, run, k, r_end, at, piece, take);
    } else {
      FillRows(reader, part, r, r_end, r0, tr, c0, tc, staging);
    }
    r = r_end;
  }
}

void FileTiles::FillColumns(Reader& reader, std::uint64_t r0, std::size_t tr,
                            std::uint64_t c0, std::size_t tc, char* staging) {
  const std::uint64_t piece = std::uint64_t{tr} * value_size_;
  const std::uint64_t at = view_.offset + r0 * value_size_;
  for (std::uint64_t c = c0; c < c0 + tc;) {
    const Part& part = PartOf(c);
    const RecordPlaces::Run& run = part.file.places->RunOf(c - part.first_row);
    const std::uint64_t c_end =
        std::min(c0 + tc, part.first_row + run.first_row + run.rows);
    // A record's values are a column of the tile as they are, but for
    // their byte order.
    const auto put = [&](const char* from, std::uint64_t k) {
      char* to = staging + (k - c0) * piece;
      part.transpose(from, 0, 1, tr, to, 1, 0, 0);
    };
    const auto take = [&](const char* span, std::uint64_t n, std::uint64_t k) {
      for (std::uint64_t i = 0; i < n; ++i) put(span + i * run.stride, k + i);
    };
    if (InSpans(part, run, piece, reader.buffer.size())) {
      const std::uint64_t k = MapSpans(part, run, c, c_end, at, piece, take);
      ReadSpans(reader, part, run, k, c_end, at, piece, take);
    } else {
      for (std::uint64_t k = c; k < c_end; ++k) {
        part.file.places->Find(k - part.first_row, &reader.pieces);
        char* to = staging + (k - c0) * piece;
        Gather(part, reader.pieces, at, static_cast<std::size_t>(piece), to);
        if (part.file.swapped) put(to, k);
      }
    }
    c = c_end;
  }
}

template <typename Take>
std::uint64_t FileTiles::MapSpans(const Part& part,
                                  const RecordPlaces::Run& run, std::uint64_t r,
                                  std::uint64_t r_end, std::uint64_t at,
                                  std::uint64_t piece, Take take) {
  // Called where InSpans holds: one piece a record, and a stride.
  if (piece > kMaxMappedBytes) return r;
  const std::uint64_t stride = run.stride;
  // Where row r's piece of the record begins.
  const std::uint64_t first = run.base +
                              part.file.places->Layout(run).front().offset +
                              (r - part.first_row - run.first_row) * stride;
  MarkerCheck* check = part.file.markers.get();
  if (check != nullptr && check->repeat().stride != stride) check = nullptr;
  const std::uint64_t per_map = (kMaxMappedBytes - piece) / stride + 1;
  for (std::uint64_t k = r; k < r_end;) {
    const std::uint64_t place = first + (k - r) * stride;
    std::uint64_t record = 0, within = 0;
    if (check != nullptr && check->Locate(place, &record, &within)) {
      // Records taken unread: mapped whole, their markers checked as their
      // values are taken, a few at a time while they are in cache.
      const std::uint64_t rows = std::min(
          {kMaxMappedBytes / stride, r_end - k, check->records() - record});
      const std::uint64_t per_pass =
          std::max<std::uint64_t>(1, (std::uint64_t{256} << 10) / stride);
      auto visit = [&](const char* records) {
        for (std::uint64_t i = 0; i < rows; i += per_pass) {
          const std::uint64_t n = std::min(per_pass, rows - i);
          check->Check(records + i * stride, record + i, n);
          take(records + i * stride + within + at, n, k + i);
        }
      };
      if (VisitMapped(*part.file.file, place - within,
                      static_cast<std::size_t>(rows * stride),
                      visit) != MapStatus::kVisited) {
        return k;
      }
      k += rows;
      continue;
    }
    std::uint64_t rows = std::min(per_map, r_end - k);
    if (check != nullptr && place < check->first()) {
      // Up to the first record taken unread.
      rows = std::min(rows, (check->first() - place + stride - 1) / stride);
    }
    auto visit = [&](const char* span) { take(span, rows, k); };
    if (VisitMapped(*part.file.file, place + at,
                    static_cast<std::size_t>((rows - 1) * stride + piece),
                    visit) != MapStatus::kVisited) {
      return k;
    }
    k += rows;
  }
  return r_end;
}

template <typename Take>
void FileTiles::ReadSpans(Reader& reader, const Part& part,
                          const RecordPlaces::Run& run, std::uint64_t r,
                          std::uint64_t r_end, std::uint64_t at,
                          std::uint64_t piece, Take take) {
  const std::uint64_t first =
      run.base + part.file.places->Layout(run).front().offset +
      (r - part.first_row - run.first_row) * run.stride + at;
  const std::uint64_t per_read = reader.buffer.size() / run.stride;
  for (std::uint64_t k = r; k < r_end; k += per_read) {
    const std::uint64_t rows = std::min(per_read, r_end - k);
    ReadExact(part, first + (k - r) * run.stride, reader.buffer.data(),
              static_cast<std::size_t>((rows - 1) * run.stride + piece));
    take(reader.buffer.data(), rows, k);
  }
}

void FileTiles::FillRows(Reader& reader, const Part& part, std::uint64_t r,
                         std::uint64_t r_end, std::uint64_t r0, std::size_t tr,
                         std::uint64_t c0, std::size_t tc, char* staging) {
  // All the rows at once where they fit, so that each part of the staging is
  // written in one pass; else reads of at least kMinReadBytes.
  constexpr std::size_t kMinReadBytes = std::size_t{1} << 12;
  const std::size_t most = reader.buffer.size() / value_size_;
  const std::size_t cols_per_read = std::min<std::size_t>(
      {tc, most,
       std::max<std::size_t>(kMinReadBytes / value_size_,
                             most / std::max<std::uint64_t>(r_end - r, 1))});
  for (std::size_t cc = 0; cc < tc; cc += cols_per_read) {
    const std::size_t cols = std::min(cols_per_read, tc - cc);
    const std::size_t bytes = cols * value_size_;
    const std::size_t rows_per_read = reader.buffer.size() / bytes;
    for (std::uint64_t k = r; k < r_end; k += rows_per_read) {
      const std::uint64_t rows =
          std::min<std::uint64_t>(rows_per_read, r_end - k);
      for (std::uint64_t i = 0; i < rows; ++i) {
        part.file.places->Find(k + i - part.first_row, &reader.pieces);
        Gather(part, reader.pieces, view_.offset + (c0 + cc) * value_size_,
               bytes, reader.buffer.data() + i * bytes);
      }
      part.transpose(reader.buffer.data(), bytes, rows, cols, staging, tr,
                     k - r0, cc);
    }
  }
}

void FileTiles::Gather(const Part& part,
                       const std::vector<PayloadPiece>& pieces,
                       std::uint64_t from, std::size_t n, char* dst) {
  std::uint64_t start = 0;  // of the piece in the payload
  for (const PayloadPiece& piece : pieces) {
    if (n == 0) return;
    const std::uint64_t end = start + piece.bytes;
    if (from < end) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, end - from));
      ReadExact(part, piece.offset + (from - start), dst, take);
      dst += take;
      from += take;
      n -= take;
    }
    start = end;
  }
}

void FileTiles::CheckExact(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                           std::size_t tc, const char* staging) const {
  if (!view_.exact_doubles || view_.type != ValueType::kInt8) return;
  const std::size_t n = tr * tc;
  const std::size_t bad = FirstInexactInt8(staging, n);
  if (bad == n) return;
  const std::uint64_t row = r0 + bad % tr, column = c0 + bad / tr;
  const std::uint64_t record = view_.records_as_columns ? column : row;
  const Part& part = PartOf(record);
  std::int64_t value;
  std::memcpy(&value, staging + 8 * bad, sizeof value);
  if (part.file.record_step == 0) {
    // Said by where the value lies.
    std::vector<PayloadPiece> pieces;
    part.file.places->Find(record - part.first_row, &pieces);
    throw RunError(
        InexactValueMessage(0, part.file.name, view_.field, value,
                            pieces.empty() ? 0 : pieces.front().offset));
  }
  throw RunError(
      InexactValueMessage(part.file.first_record +
                              (record - part.first_row) * part.file.record_step,
                          part.file.name, view_.field, value));
}

}  // namespace unf2mat
