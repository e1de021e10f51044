#include "loader/memory_loader.h"

#include <algorithm>
#include <vector>

#include "common/coding.h"
#include "common/run_error.h"
#include "common/widen_values.h"
#include "io/offset_window.h"
#include "recordio/record_walk.h"

namespace unf2mat {
namespace {

// Reads each row's values where the walk finds them, through a window of
// the file, and widens them into the store.
class CoreSink final : public WalkSink {
 public:
  CoreSink(InputFile& file, std::uint64_t size, bool swapped, ValueType type,
           std::uint64_t columns, const MemoryStore& store,
           std::string_view name)
      : window_(file, std::size_t{1} << 20, size),
        swapped_(swapped),
        type_(type),
        columns_(columns),
        store_(store),
        name_(name) {}

  void Read(std::uint32_t, const ReadShape&,
            std::span<const PayloadPiece> pieces) override {
    last_.assign(pieces.begin(), pieces.end());
    Widen(0);
  }
  void ReadAgain(std::uint32_t, std::uint64_t n,
                 std::uint64_t stride) override {
    for (std::uint64_t k = 1; k <= n; ++k) Widen(k * stride);
  }

 private:
  // The row whose values lie `shift` bytes after the last one's: its pieces
  // gathered through the buffer, whole values widened as it fills.
  void Widen(std::uint64_t shift) {
    const std::size_t size = ValueSize(type_);
    const std::size_t room =
        std::min(store_.buffer.size(), window_.capacity()) / size * size;
    double* row = store_.matrix.data() + rows_++ * columns_;
    std::size_t held = 0;  // bytes in the buffer
    std::size_t done = 0;  // values widened
    const auto widen = [&](std::size_t bytes) {
      if (swapped_) record::SwapValues(store_.buffer.data(), bytes, size);
      WidenValues(type_, store_.buffer.data(), bytes / size, row + done);
      done += bytes / size;
    };
    for (const PayloadPiece& piece : last_) {
      std::uint64_t at = piece.offset + shift;
      std::uint64_t left = piece.bytes;
      while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(left, room - held));
        const char* src = window_.At(at, n, n);
        if (src == nullptr) {
          throw RunError(
              FileError("cannot read data file", name_,
                        window_.error() != 0 ? window_.error() : EIO));
        }
        std::copy(src, src + n, store_.buffer.data() + held);
        held += n;
        at += n;
        left -= n;
        if (held == room) {
          widen(held);
          held = 0;
        }
      }
    }
    widen(held - held % size);
  }

  OffsetWindow window_;
  bool swapped_;
  ValueType type_;
  std::uint64_t columns_;
  MemoryStore store_;
  std::string_view name_;
  std::vector<PayloadPiece> last_;
  std::uint64_t rows_ = 0;
};

}  // namespace

void LoadIntoMemory(const PlacedFile& placed, const Layout& rows,
                    std::string_view name, const MemoryStore& store) {
  const ValueType type = rows.variables[*rows.rows].type;
  CoreSink sink(*placed.file, placed.size, placed.choice.framing.swapped, type,
                placed.walk.columns, store, name);
  WalkSetup setup;
  setup.file = placed.file.get();
  setup.size = placed.size;
  setup.framing = placed.choice.framing;
  setup.name = name;
  setup.limits.assign(rows.variables.size(), LoadLimits{});
  setup.keep_places = false;
  WalkLayout(rows, setup, &sink);
}

}  // namespace unf2mat
