#include "matfile/hdf5_file.h"

#ifdef UNF2MAT_HAVE_HDF5
#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/run_error.h"
#include "matfile/value_loop.h"
#endif

namespace unf2mat {

#ifdef UNF2MAT_HAVE_HDF5
namespace {

// An HDF5 identifier, closed with its own call when it goes.
class Handle {
 public:
  Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~Handle() {
    if (id_ >= 0) close_(id_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }
  // Closes it now; false where that failed (a write it held back failed).
  bool Close() {
    const herr_t status = close_(id_);
    id_ = -1;
    return status >= 0;
  }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

// The system's reason for the last failure, where it left one.
int LastError() { return errno != 0 ? errno : EIO; }

[[noreturn]] void Fail(const std::string& what, const std::string& shown_path,
                       int error) {
  throw RunError("cannot write MAT-file " + Quote(shown_path) + ": " + what +
                 ": " + std::strerror(error));
}

hid_t FileType(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return H5T_IEEE_F32LE;
    case MatClass::kInt32:
      return H5T_STD_I32LE;
    case MatClass::kInt64:
      return H5T_STD_I64LE;
    case MatClass::kDouble:
      break;
  }
  return H5T_IEEE_F64LE;
}

// Chunks of about 1 MiB, of whole rows of the innermost dimensions where
// they fit, so that a tile of whole columns fills whole chunks.
std::vector<hsize_t> ChunkDims(const std::vector<hsize_t>& dims,
                               std::size_t size) {
  constexpr std::uint64_t kChunkBytes = std::uint64_t{1} << 20;
  std::vector<hsize_t> chunk(dims.size(), 1);
  std::uint64_t bytes = size;
  for (std::size_t k = dims.size(); k-- > 0;) {
    if (bytes * dims[k] > kChunkBytes) {
      chunk[k] = std::max<hsize_t>(1, kChunkBytes / bytes);
      break;
    }
    chunk[k] = dims[k];
    bytes *= dims[k];
  }
  return chunk;
}

// Selects values [a, b) of the row-major array `dims` in `space`, as at most
// 2n - 1 boxes: a partial row at each end, whole slabs between.
class RangeSelector {
 public:
  RangeSelector(hid_t space, const std::vector<hsize_t>& dims)
      : space_(space), dims_(dims), start_(dims.size()) {}

  bool Select(std::uint64_t a, std::uint64_t b) {
    ok_ = H5Sselect_none(space_) >= 0;
    if (a < b) Range(0, a, b);
    return ok_;
  }

 private:
  std::uint64_t Stride(std::size_t k) const {
    std::uint64_t stride = 1;
    for (std::size_t i = k + 1; i < dims_.size(); ++i) stride *= dims_[i];
    return stride;
  }
  // A box from start_ (fixed up to k, 0 after) of `count` slabs of level k.
  void Box(std::size_t k, std::uint64_t count) {
    std::vector<hsize_t> start = start_, extent(dims_.size(), 1);
    extent[k] = count;
    for (std::size_t i = k + 1; i < dims_.size(); ++i) {
      start[i] = 0;
      extent[i] = dims_[i];
    }
    ok_ = ok_ && H5Sselect_hyperslab(space_, H5S_SELECT_OR, start.data(),
                                     nullptr, extent.data(), nullptr) >= 0;
  }
  // Values [a, b) of the sub-array at level k under start_[0, k).
  void Range(std::size_t k, std::uint64_t a, std::uint64_t b) {
    const std::uint64_t stride = Stride(k);
    std::uint64_t i = a / stride;
    const std::uint64_t j = b / stride;
    if (i == j) {
      start_[k] = i;
      return Range(k + 1, a - i * stride, b - i * stride);
    }
    if (a % stride != 0) {
      start_[k] = i++;
      Range(k + 1, a % stride, stride);
    }
    if (j > i) {
      start_[k] = i;
      Box(k, j - i);
    }
    if (b % stride != 0) {
      start_[k] = j;
      Range(k + 1, 0, b % stride);
    }
  }

  hid_t space_;
  const std::vector<hsize_t>& dims_;
  std::vector<hsize_t> start_;
  bool ok_ = true;
};

// Puts each run of values where it lies in the dataset.
class DatasetSink final : public ValueSink {
 public:
  DatasetSink(hid_t dataset, hid_t type, const std::vector<hsize_t>& dims)
      : dataset_(dataset),
        type_(type),
        dims_(dims),
        space_(H5Dget_space(dataset), H5Sclose),
        selector_(space_.get(), dims_) {}

  int Put(std::uint64_t index, const char* bytes,
          std::uint64_t count) override {
    if (error_ != 0) return error_;
    errno = 0;
    const hsize_t n = count;
    Handle memory(H5Screate_simple(1, &n, nullptr), H5Sclose);
    if (!memory.ok() || !selector_.Select(index, index + count) ||
        H5Dwrite(dataset_, type_, memory.get(), space_.get(), H5P_DEFAULT,
                 bytes) < 0) {
      error_ = LastError();
    }
    return error_;
  }
  int error() const { return error_; }

 private:
  hid_t dataset_;
  hid_t type_;
  std::vector<hsize_t> dims_;
  Handle space_;
  RangeSelector selector_;
  int error_ = 0;
};

bool WriteStringAttribute(hid_t object, const char* name,
                          std::string_view value) {
  Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
  Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  if (!type.ok() || !space.ok() || H5Tset_size(type.get(), value.size()) < 0) {
    return false;
  }
  Handle attribute(H5Acreate2(object, name, type.get(), space.get(),
                              H5P_DEFAULT, H5P_DEFAULT),
                   H5Aclose);
  return attribute.ok() &&
         H5Awrite(attribute.get(), type.get(), value.data()) >= 0;
}

// An empty array as MATLAB stores it: its dimensions as the data, marked.
bool WriteEmpty(hid_t file, const MatVariable& variable) {
  const std::vector<std::uint64_t> dims = variable.shape();
  const hsize_t n = dims.size();
  Handle space(H5Screate_simple(1, &n, nullptr), H5Sclose);
  Handle dataset(
      H5Dcreate2(file, std::string(variable.name).c_str(), H5T_STD_U64LE,
                 space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
      H5Dclose);
  if (!dataset.ok() ||
      H5Dwrite(dataset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT,
               dims.data()) < 0 ||
      !WriteStringAttribute(dataset.get(), "MATLAB_class",
                            ClassName(variable.mat_class))) {
    return false;
  }
  const std::uint8_t empty = 1;
  Handle scalar(H5Screate(H5S_SCALAR), H5Sclose);
  Handle attribute(H5Acreate2(dataset.get(), "MATLAB_empty", H5T_STD_U8LE,
                              scalar.get(), H5P_DEFAULT, H5P_DEFAULT),
                   H5Aclose);
  return attribute.ok() &&
         H5Awrite(attribute.get(), H5T_NATIVE_UINT8, &empty) >= 0 &&
         attribute.Close() && dataset.Close();
}

void WriteDataset(hid_t file, const MatVariable& variable,
                  std::optional<int> level, std::size_t tile_bytes,
                  const std::string& shown_path) {
  const std::string name(variable.name);
  const std::string what = "dataset " + Quote(name);
  // HDF5 reads a '/' as a path into groups.
  if (name.empty() || name == "." || name.find('/') != std::string::npos) {
    throw RunError("cannot write MAT-file " + Quote(shown_path) +
                   ": v7.3 cannot name a variable " + Quote(name) +
                   ", as HDF5 reads a '/' in a name as a path; give another "
                   "with --name");
  }
  errno = 0;
  if (variable.rows * variable.columns == 0) {
    if (!WriteEmpty(file, variable)) Fail(what, shown_path, LastError());
    return;
  }
  // HDF5 lists dimensions slowest first: MATLAB's, reversed.
  const std::vector<std::uint64_t> shape = variable.shape();
  const std::vector<hsize_t> dims(shape.rbegin(), shape.rend());
  const hid_t type = FileType(variable.mat_class);
  Handle space(
      H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
      H5Sclose);
  Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  const std::vector<hsize_t> chunk =
      ChunkDims(dims, ClassSize(variable.mat_class));
  if (!space.ok() || !properties.ok() ||
      H5Pset_chunk(properties.get(), static_cast<int>(chunk.size()),
                   chunk.data()) < 0 ||
      (level &&
       H5Pset_deflate(properties.get(), static_cast<unsigned>(*level)) < 0)) {
    Fail(what, shown_path, LastError());
  }
  Handle dataset(H5Dcreate2(file, name.c_str(), type, space.get(), H5P_DEFAULT,
                            properties.get(), H5P_DEFAULT),
                 H5Dclose);
  if (!dataset.ok() || !WriteStringAttribute(dataset.get(), "MATLAB_class",
                                             ClassName(variable.mat_class))) {
    Fail(what, shown_path, LastError());
  }
  DatasetSink sink(dataset.get(), type, dims);
  WriteValues(*variable.values, variable.mat_class, variable.rows,
              variable.columns,
              std::min(tile_bytes, variable.values->tile_bytes()), sink);
  if (sink.error() != 0) Fail(what, shown_path, sink.error());
  errno = 0;
  if (!dataset.Close()) Fail(what, shown_path, LastError());
}

}  // namespace

bool CanWriteHdf5() { return true; }

void WriteHdf5(const std::string& path, const std::string& shown_path,
               std::span<const MatVariable> variables, std::optional<int> level,
               std::size_t tile_bytes) {
  // A file whose close failed (a full disk) stays open in the library, and
  // its own clean-up at exit would crash on it; the process ends without.
  H5dont_atexit();
  // Its failures are said once, here, not printed by the library.
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  errno = 0;
  Handle create(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
  Handle access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
  if (!create.ok() || !access.ok() ||
      H5Pset_userblock(create.get(), kUserBlockBytes) < 0) {
    Fail("HDF5", shown_path, LastError());
  }
  Handle file(
      H5Fcreate(path.c_str(), H5F_ACC_TRUNC, create.get(), access.get()),
      H5Fclose);
  if (!file.ok()) Fail("HDF5 cannot create it", shown_path, LastError());
  for (const MatVariable& variable : variables) {
    WriteDataset(file.get(), variable, level, tile_bytes, shown_path);
  }
  errno = 0;
  if (!file.Close()) Fail("HDF5", shown_path, LastError());
}

#else

bool CanWriteHdf5() { return false; }

void WriteHdf5(const std::string&, const std::string&,
               std::span<const MatVariable>, std::optional<int>, std::size_t) {}

#endif

}  // namespace unf2mat
