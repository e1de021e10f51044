// Values read straight from data files that can be read at an offset, a
// tile at a time, by the places their records were found at: plain rows, a
// record a row, or a field of each record, a record a column.
#ifndef UNF2MAT_LOADER_FILE_TILES_H_
#define UNF2MAT_LOADER_FILE_TILES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "common/worker.h"
#include "io/file.h"
#include "loader/foresight.h"
#include "loader/record_places.h"
#include "matfile/matfile.h"

namespace unf2mat {

// One data file's share of the records the values are read from.
struct TilePart {
  std::shared_ptr<InputFile> file;
  std::uint64_t size = 0;  // the file's size when its places were found
  std::shared_ptr<const RecordPlaces> places;
  bool swapped = false;
  std::string name;  // of the data file, for messages
  // Row r lies in record first_record + r * record_step, for the record
  // numbers messages name; 0 where that is not so.
  std::uint64_t first_record = 0;
  std::uint64_t record_step = 0;
  // Records taken unread, whose markers are checked as they are read.
  std::shared_ptr<MarkerCheck> markers;
};

// Which bytes of each record hold the values, and how they are laid out.
struct RecordView {
  ValueType type = ValueType::kReal4;
  std::uint64_t offset = 0;  // of the first value, in the record
  std::uint64_t values = 0;  // per record
  // Each record's values make a column (a field stacked along its last
  // dimension); else a row (plain rows).
  bool records_as_columns = false;
  // int8 values that will be widened must be held exactly by a double;
  // `field` names them in the error.
  bool exact_doubles = false;
  std::string field;
};

class FileTiles final : public TileSource {
 public:
  // The records of `parts`, in order, read by `view`.
  FileTiles(std::vector<TilePart> parts, RecordView view,
            std::size_t read_bytes);

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override;
  ValueType element() const override { return view_.type; }
  std::size_t tile_bytes() const override { return kTileBytes; }
  bool column_runs() const override { return view_.records_as_columns; }

  // Moves `rows` x `cols` values, row r at src + r * stride, into the tile
  // rows [row0, ...) and columns [col0, ...) of a staging of tile_rows rows,
  // in the host's byte order.
  using Transposer = void (*)(const char* src, std::size_t stride,
                              std::size_t rows, std::size_t cols, char* staging,
                              std::size_t tile_rows, std::size_t row0,
                              std::size_t col0);

 private:
  struct Part {
    TilePart file;
    std::uint64_t first_row;  // of the matrix's records
    Transposer transpose;
  };

  // What each thread that reads needs of its own.
  struct Reader {
    std::vector<char> buffer;
    std::vector<PayloadPiece> pieces;
  };

  // Whether the rows of `run` of `part` are read in spans, several at a
  // time, where `piece` bytes of each are wanted through a buffer of
  // `buffer_bytes`.
  bool InSpans(const Part& part, const RecordPlaces::Run& run,
               std::uint64_t piece, std::size_t buffer_bytes) const;
  // The part that holds record `record`.
  const Part& PartOf(std::uint64_t record) const;
  // Records [from, to) of the tile that starts at row r0, one a row.
  void FillPart(Reader& reader, std::uint64_t from, std::uint64_t to,
                std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                std::size_t tc, char* staging);
  // Records [c0, c0 + tc), one a column, their values [r0, r0 + tr).
  void FillColumns(Reader& reader, std::uint64_t r0, std::size_t tr,
                   std::uint64_t c0, std::size_t tc, char* staging);
  void ReadExact(const Part& part, std::uint64_t offset, char* dst,
                 std::size_t n);
  // As ReadSpans, but looked at where the file's pages map, with no copy,
  // in spans of as many records as one mapping holds. Returns the first
  // record not handed to `take`: r_end, or where the file does not map or
  // was cut short meanwhile, for reads to go on (and say so). Where rows
  // lie far apart, mapping costs more than reading: a page, and a miss of
  // the address cache, for each.
  template <typename Take>
  std::uint64_t MapSpans(const Part& part, const RecordPlaces::Run& run,
                         std::uint64_t r, std::uint64_t r_end, std::uint64_t at,
                         std::uint64_t piece, Take take);
  // Records [r, r_end) of one run, whose row pieces lie close together:
  // read in spans of several records, `piece` bytes of each from `at` in
  // the record, each handed to `take` with its index.
  template <typename Take>
  void ReadSpans(Reader& reader, const Part& part, const RecordPlaces::Run& run,
                 std::uint64_t r, std::uint64_t r_end, std::uint64_t at,
                 std::uint64_t piece, Take take);
  // Records [r, r_end), each piece read on its own.
  void FillRows(Reader& reader, const Part& part, std::uint64_t r,
                std::uint64_t r_end, std::uint64_t r0, std::size_t tr,
                std::uint64_t c0, std::size_t tc, char* staging);
  // Bytes [from, from + n) of a record's payload, which lies in `pieces`.
  void Gather(const Part& part, const std::vector<PayloadPiece>& pieces,
              std::uint64_t from, std::size_t n, char* dst);
  // Ends the run where a value of the tile would not widen exactly.
  void CheckExact(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                  std::size_t tc, const char* staging) const;

  std::vector<Part> parts_;
  RecordView view_;
  std::size_t value_size_;
  Reader first_, second_;
  // Reads half of each large tile while this thread reads the other half.
  std::unique_ptr<Worker> helper_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_FILE_TILES_H_
