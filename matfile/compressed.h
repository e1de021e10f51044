// The zlib stream of a miCOMPRESSED element: what is written to a
// DeflateFile, deflated and appended to the MAT-file.
#ifndef UNF2MAT_MATFILE_COMPRESSED_H_
#define UNF2MAT_MATFILE_COMPRESSED_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "io/buffered_writer.h"
#include "io/file.h"

namespace unf2mat {

// Whether this build can deflate (it was built with zlib).
bool CanDeflate();

class DeflateFile final : public OutputFile {
 public:
  // Deflates at `level` (1 to 9) into `out`, from its position on.
  DeflateFile(BufferedWriter& out, int level);
  ~DeflateFile() override;
  DeflateFile(const DeflateFile&) = delete;
  DeflateFile& operator=(const DeflateFile&) = delete;

  int Write(const char* data, std::size_t n) override;
  // Only where the stream has got to: the stream is written in order.
  int WriteAt(std::uint64_t offset, const char* data, std::size_t n) override;
  // Ends the stream. Returns 0 or the first errno value met.
  int Finish();
  std::uint64_t bytes_out() const { return bytes_out_; }

 private:
  int Deflate(const char* data, std::size_t n, bool finish);

  struct Stream;
  std::unique_ptr<Stream> stream_;
  BufferedWriter& out_;
  std::uint64_t bytes_in_ = 0;
  std::uint64_t bytes_out_ = 0;
  int error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_COMPRESSED_H_
