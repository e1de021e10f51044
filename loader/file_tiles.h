// The matrix read straight from a data file that can be read at an offset,
// a tile at a time, by the places its records were found at.
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
#include "loader/record_places.h"
#include "matfile/matfile.h"

namespace unf2mat {

class FileTiles final : public TileSource {
 public:
  // `size` is the file's size when its places were found.
  FileTiles(std::shared_ptr<InputFile> file, std::uint64_t size,
            RecordPlaces places, ValueType type, bool swapped, std::string name,
            std::size_t read_bytes);

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override;
  ValueType element() const override { return type_; }
  std::size_t tile_bytes() const override { return kTileBytes; }

  // Moves `rows` x `cols` values, row r at src + r * stride, into the tile
  // rows [row0, ...) and columns [col0, ...) of a staging of tile_rows rows,
  // in the host's byte order.
  using Transposer = void (*)(const char* src, std::size_t stride,
                              std::size_t rows, std::size_t cols, char* staging,
                              std::size_t tile_rows, std::size_t row0,
                              std::size_t col0);

 private:
  // What each thread that reads needs of its own.
  struct Reader {
    std::vector<char> buffer;
    std::vector<PayloadPiece> pieces;
  };

  // Whether the rows of `run` are read in spans, several at a time, where
  // `piece` bytes of each are wanted through a buffer of `buffer_bytes`.
  bool InSpans(const RecordPlaces::Run& run, std::uint64_t piece,
               std::size_t buffer_bytes) const;
  // Rows [from, to) of the tile that starts at row r0.
  void FillPart(Reader& reader, std::uint64_t from, std::uint64_t to,
                std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                std::size_t tc, char* staging);
  void ReadExact(std::uint64_t offset, char* dst, std::size_t n);
  // Rows [r, r_end) of one run, whose row pieces lie close together: read in
  // spans of several rows.
  void FillSpans(Reader& reader, const RecordPlaces::Run& run, std::uint64_t r,
                 std::uint64_t r_end, std::uint64_t r0, std::size_t tr,
                 std::uint64_t c0, std::size_t tc, char* staging);
  // Rows [r, r_end), each piece read on its own.
  void FillRows(Reader& reader, std::uint64_t r, std::uint64_t r_end,
                std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                std::size_t tc, char* staging);
  // Bytes [from, from + n) of a row's payload, which lies in `pieces`.
  void Gather(const std::vector<PayloadPiece>& pieces, std::uint64_t from,
              std::size_t n, char* dst);

  std::shared_ptr<InputFile> file_;
  std::uint64_t size_;
  RecordPlaces places_;
  ValueType type_;
  std::size_t value_size_;
  Transposer transpose_;
  std::string name_;
  Reader first_, second_;
  // Reads half of each large tile while this thread reads the other half.
  std::unique_ptr<Worker> helper_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_FILE_TILES_H_
