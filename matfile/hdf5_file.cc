#include "matfile/hdf5_file.h"

#include "common/run_error.h"

#ifdef UNF2MAT_HAVE_HDF5
#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
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

// Failures are said once, by the converter, not printed by the library; a
// library built for threads keeps that setting per thread, and values are
// written on a thread of their own.
void SilenceLibrary() {
  thread_local bool silenced = false;
  if (silenced) return;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  silenced = true;
}

[[noreturn]] void Fail(const std::string& what, const std::string& shown_path,
                       int error) {
  throw RunError("cannot write MAT-file " + Quote(shown_path) + ": " + what +
                 ": " + std::strerror(error));
}

// The type of a value (of one part of a complex value) in the file.
hid_t FileType(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return H5T_IEEE_F32LE;
    case MatClass::kInt32:
      return H5T_STD_I32LE;
    case MatClass::kInt64:
      return H5T_STD_I64LE;
    case MatClass::kInt8:
      return H5T_STD_I8LE;
    case MatClass::kInt16:
      return H5T_STD_I16LE;
    case MatClass::kLogical:
      return H5T_STD_U8LE;
    case MatClass::kChar:
      return H5T_STD_U16LE;
    case MatClass::kDouble:
      break;
  }
  return H5T_IEEE_F64LE;
}

// A new type for the variable's values, to be closed: of a complex array,
// the pair MATLAB stores, "real" then "imag".
hid_t NewValueType(const MatVariable& variable) {
  const hid_t part = FileType(variable.mat_class);
  if (!variable.complex) return H5Tcopy(part);
  const std::size_t size = ClassSize(variable.mat_class);
  const hid_t pair = H5Tcreate(H5T_COMPOUND, 2 * size);
  if (pair >= 0 && (H5Tinsert(pair, "real", 0, part) < 0 ||
                    H5Tinsert(pair, "imag", size, part) < 0)) {
    H5Tclose(pair);
    return -1;
  }
  return pair;
}

// Of one of the array's values: a complex one has two parts.
std::size_t PartsOf(const MatVariable& variable) {
  return variable.complex ? 2 : 1;
}

std::string_view MatlabClass(const MatVariable& variable) {
  return variable.cells != nullptr ? "cell" : ClassName(variable.mat_class);
}

constexpr std::uint64_t kChunkBytes = std::uint64_t{1} << 20;

// Chunks of about 1 MiB, of whole rows of the innermost dimensions where
// they fit, so that a tile of whole columns fills whole chunks.
std::vector<hsize_t> ChunkDims(const std::vector<hsize_t>& dims,
                               std::size_t size) {
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

// A chunk that the tiles fill whole, so that none is written in parts that
// the cache lets go of between them (each then read back to be finished): a
// matrix's tiles of row bands fill chunks of the band's height across a few
// of its columns; others, chunks of whole columns.
std::vector<hsize_t> ChunkFor(const MatVariable& variable,
                              const std::vector<hsize_t>& dims,
                              std::size_t tile_bytes) {
  const std::size_t parts = PartsOf(variable);
  const std::size_t size = parts * ClassSize(variable.mat_class);
  const std::uint64_t rows = variable.rows, columns = variable.columns;
  if (dims.size() != 2 || dims[0] != columns || dims[1] != rows) {
    return ChunkDims(dims, size);
  }
  const TileShape tiles =
      PlanTiles(rows, columns, parts * ValueSize(variable.values->element()),
                std::min(tile_bytes, variable.values->tile_bytes()),
                variable.values->column_runs());
  const std::uint64_t height =
      tiles.rows < rows
          ? tiles.rows
          : std::min<std::uint64_t>(
                rows, std::max<std::uint64_t>(1, kChunkBytes / size));
  const std::uint64_t across =
      std::clamp<std::uint64_t>(kChunkBytes / (size * height), 1, columns);
  return {across, height};
}

// A box of the dataset: its corner and its extent, and how many values.
struct Box {
  std::vector<hsize_t> start, extent;
  std::uint64_t values;
};

// Values [a, b) of the row-major array `dims`, as at most 2n - 1 boxes in
// order: a partial row at each end, whole slabs between. Each is written on
// its own: HDF5 maps a single box to its chunks at once, but a union of
// boxes value by value.
class RangeBoxes {
 public:
  explicit RangeBoxes(const std::vector<hsize_t>& dims)
      : dims_(dims), start_(dims.size()) {}

  const std::vector<Box>& Of(std::uint64_t a, std::uint64_t b) {
    boxes_.clear();
    if (a < b) Range(0, a, b);
    return boxes_;
  }

 private:
  std::uint64_t Stride(std::size_t k) const {
    std::uint64_t stride = 1;
    for (std::size_t i = k + 1; i < dims_.size(); ++i) stride *= dims_[i];
    return stride;
  }
  // `count` slabs of level k from start_ (fixed up to k, 0 after).
  void Add(std::size_t k, std::uint64_t count) {
    Box box{start_, std::vector<hsize_t>(dims_.size(), 1), count};
    box.extent[k] = count;
    for (std::size_t i = k + 1; i < dims_.size(); ++i) {
      box.start[i] = 0;
      box.extent[i] = dims_[i];
      box.values *= dims_[i];
    }
    boxes_.push_back(std::move(box));
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
      Add(k, j - i);
    }
    if (b % stride != 0) {
      start_[k] = j;
      Range(k + 1, 0, b % stride);
    }
  }

  const std::vector<hsize_t>& dims_;
  std::vector<hsize_t> start_;
  std::vector<Box> boxes_;
};

// Puts each run of values where it lies in the dataset.
class DatasetSink final : public ValueSink {
 public:
  DatasetSink(hid_t dataset, hid_t type, std::size_t size,
              const std::vector<hsize_t>& dims, OutputFile& same_file)
      : same_file_(same_file),
        dataset_(dataset),
        type_(type),
        size_(size),
        dims_(dims),
        space_(H5Dget_space(dataset), H5Sclose),
        boxes_(dims_) {}

  int Put(std::uint64_t index, const char* bytes,
          std::uint64_t count) override {
    if (error_ != 0) return error_;
    SilenceLibrary();
    for (const Box& box : boxes_.Of(index, index + count)) {
      errno = 0;
      // The memory in the box's own shape: HDF5 maps same-shaped
      // selections chunk by chunk, others value by value.
      Handle memory(H5Screate_simple(static_cast<int>(box.extent.size()),
                                     box.extent.data(), nullptr),
                    H5Sclose);
      if (!memory.ok() ||
          H5Sselect_hyperslab(space_.get(), H5S_SELECT_SET, box.start.data(),
                              nullptr, box.extent.data(), nullptr) < 0 ||
          H5Dwrite(dataset_, type_, memory.get(), space_.get(), H5P_DEFAULT,
                   bytes) < 0) {
        return error_ = LastError();
      }
      bytes += size_ * box.values;
    }
    return 0;
  }
  // The library writes through a handle of its own, and leaves the disk
  // idle until the file is closed: the disk is started on the whole file,
  // of which only what is not yet on its way is new.
  void Flow() override { same_file_.StartWriteback(0, 0); }
  int error() const { return error_; }

 private:
  OutputFile& same_file_;
  hid_t dataset_;
  hid_t type_;
  std::size_t size_;
  std::vector<hsize_t> dims_;
  Handle space_;
  RangeBoxes boxes_;
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

bool WriteScalarAttribute(hid_t object, const char* name, hid_t file_type,
                          hid_t memory_type, const void* value) {
  Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  Handle attribute(H5Acreate2(object, name, file_type, space.get(), H5P_DEFAULT,
                              H5P_DEFAULT),
                   H5Aclose);
  return attribute.ok() && H5Awrite(attribute.get(), memory_type, value) >= 0 &&
         attribute.Close();
}

// The attributes MATLAB reads the class by: its name, and for integers
// that stand for something else, how to read them back.
bool WriteClassAttributes(hid_t dataset, const MatVariable& variable) {
  if (!WriteStringAttribute(dataset, "MATLAB_class", MatlabClass(variable))) {
    return false;
  }
  std::int32_t decode = 0;
  if (variable.cells == nullptr && variable.mat_class == MatClass::kLogical) {
    decode = 1;
  } else if (variable.cells == nullptr &&
             variable.mat_class == MatClass::kChar) {
    decode = 2;  // UTF-16 units
  }
  return decode == 0 ||
         WriteScalarAttribute(dataset, "MATLAB_int_decode", H5T_STD_I32LE,
                              H5T_NATIVE_INT32, &decode);
}

// An empty array as MATLAB stores it: its dimensions as the data, marked.
bool WriteEmpty(hid_t group, const std::string& name,
                const MatVariable& variable) {
  const std::vector<std::uint64_t> dims = variable.shape();
  const hsize_t n = dims.size();
  Handle space(H5Screate_simple(1, &n, nullptr), H5Sclose);
  Handle dataset(H5Dcreate2(group, name.c_str(), H5T_STD_U64LE, space.get(),
                            H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                 H5Dclose);
  const std::uint8_t empty = 1;
  return dataset.ok() &&
         H5Dwrite(dataset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL,
                  H5P_DEFAULT, dims.data()) >= 0 &&
         WriteStringAttribute(dataset.get(), "MATLAB_class",
                              MatlabClass(variable)) &&
         WriteScalarAttribute(dataset.get(), "MATLAB_empty", H5T_STD_U8LE,
                              H5T_NATIVE_UINT8, &empty) &&
         dataset.Close();
}

// Writes the variables, each a dataset, and each cell of a cell array a
// dataset of its own in the group /#refs#, which the cell array's dataset
// of references points to, as MATLAB does.
class Hdf5Writer {
 public:
  Hdf5Writer(hid_t file, std::optional<int> level, std::size_t tile_bytes,
             const std::string& shown_path, OutputFile& same_file)
      : same_file_(same_file),
        file_(file),
        level_(level),
        tile_bytes_(tile_bytes),
        shown_path_(shown_path) {}

  // The variable as the dataset `name` of `group`; failures name it as
  // `shown`: a cell as "c{2}".
  void Write(hid_t group, const std::string& name, const std::string& shown,
             const MatVariable& variable) {
    errno = 0;
    if (variable.rows * variable.columns == 0) {
      if (!WriteEmpty(group, name, variable)) Fail(shown, LastError());
    } else if (variable.cells != nullptr) {
      WriteCellDataset(group, name, shown, variable);
    } else {
      WriteValueDataset(group, name, shown, variable);
    }
  }

 private:
  // A dataset of `type` and the variable's dimensions (HDF5 lists them
  // slowest first: MATLAB's, reversed), chunked as `chunk`, classed.
  hid_t CreateDataset(hid_t group, const std::string& name,
                      const std::string& shown, const MatVariable& variable,
                      hid_t type, const std::vector<hsize_t>& dims,
                      const std::vector<hsize_t>& chunk) {
    Handle space(
        H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
        H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.ok() || !properties.ok() ||
        H5Pset_chunk(properties.get(), static_cast<int>(chunk.size()),
                     chunk.data()) < 0 ||
        (level_ && H5Pset_deflate(properties.get(),
                                  static_cast<unsigned>(*level_)) < 0) ||
        // Every value is written: no fill first, which would also bring
        // each chunk through the cache.
        H5Pset_fill_time(properties.get(), H5D_FILL_TIME_NEVER) < 0) {
      Fail(shown, LastError());
    }
    // Uncompressed chunks go straight from the tiles to the file, with no
    // cache to copy them into: a chunk larger than the cache is written
    // where it lies, in as many pieces as it comes in.
    Handle access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
    if (!access.ok() ||
        (!level_ &&
         H5Pset_chunk_cache(access.get(), H5D_CHUNK_CACHE_NSLOTS_DEFAULT, 0,
                            H5D_CHUNK_CACHE_W0_DEFAULT) < 0)) {
      Fail(shown, LastError());
    }
    const hid_t dataset =
        H5Dcreate2(group, name.c_str(), type, space.get(), H5P_DEFAULT,
                   properties.get(), access.get());
    if (dataset < 0) Fail(shown, LastError());
    if (!WriteClassAttributes(dataset, variable)) {
      const int error = LastError();
      H5Dclose(dataset);
      Fail(shown, error);
    }
    return dataset;
  }

  void WriteValueDataset(hid_t group, const std::string& name,
                         const std::string& shown,
                         const MatVariable& variable) {
    const std::vector<std::uint64_t> shape = variable.shape();
    const std::vector<hsize_t> dims(shape.rbegin(), shape.rend());
    Handle type(NewValueType(variable), H5Tclose);
    if (!type.ok()) Fail(shown, LastError());
    Handle dataset(CreateDataset(group, name, shown, variable, type.get(), dims,
                                 ChunkFor(variable, dims, tile_bytes_)),
                   H5Dclose);
    const std::size_t parts = PartsOf(variable);
    DatasetSink sink(dataset.get(), type.get(),
                     parts * ClassSize(variable.mat_class), dims, same_file_);
    unf2mat::WriteValues(
        *variable.values, variable.mat_class, variable.rows, variable.columns,
        std::min(tile_bytes_, variable.values->tile_bytes()), sink, parts);
    if (sink.error() != 0) Fail(shown, sink.error());
    errno = 0;
    if (!dataset.Close()) Fail(shown, LastError());
  }

  // A dataset of references, one to each cell's dataset, written as the
  // cells are, a batch at a time.
  void WriteCellDataset(hid_t group, const std::string& name,
                        const std::string& shown, const MatVariable& variable) {
    const std::vector<std::uint64_t> shape = variable.shape();
    const std::vector<hsize_t> dims(shape.rbegin(), shape.rend());
    Handle dataset(CreateDataset(group, name, shown, variable, H5T_STD_REF_OBJ,
                                 dims, ChunkDims(dims, sizeof(hobj_ref_t))),
                   H5Dclose);
    DatasetSink sink(dataset.get(), H5T_STD_REF_OBJ, sizeof(hobj_ref_t), dims,
                     same_file_);
    const std::uint64_t cells = variable.rows * variable.columns;
    constexpr std::uint64_t kBatch = 1 << 16;
    std::vector<hobj_ref_t> references(
        static_cast<std::size_t>(std::min(cells, kBatch)));
    for (std::uint64_t k = 0; k < cells; ++k) {
      const std::string cell_name = NextRefName();
      const std::string cell_shown = shown + "{" + std::to_string(k + 1) + "}";
      Write(Refs(), cell_name, cell_shown, variable.cells->Cell(k, true));
      errno = 0;
      if (H5Rcreate(&references[k % kBatch], Refs(), cell_name.c_str(),
                    H5R_OBJECT, -1) < 0) {
        Fail(cell_shown, LastError());
      }
      if (k % kBatch == references.size() - 1 || k + 1 == cells) {
        const std::uint64_t first = k - k % kBatch;
        if (sink.Put(first, reinterpret_cast<const char*>(references.data()),
                     k + 1 - first) != 0) {
          Fail(shown, sink.error());
        }
      }
    }
    errno = 0;
    if (!dataset.Close()) Fail(shown, LastError());
  }

  // The group of the cells' datasets, made when first needed.
  hid_t Refs() {
    if (!refs_) {
      errno = 0;
      refs_.emplace(
          H5Gcreate2(file_, "#refs#", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
          H5Gclose);
      if (!refs_->ok()) Fail("#refs#", LastError());
    }
    return refs_->get();
  }

  // "a" to "z", then "aa", "ab" and on: a name no other cell has.
  std::string NextRefName() {
    std::string name;
    for (std::uint64_t n = refs_named_++;; n = n / 26 - 1) {
      name.insert(name.begin(), static_cast<char>('a' + n % 26));
      if (n < 26) break;
    }
    return name;
  }

  [[noreturn]] void Fail(const std::string& shown, int error) const {
    unf2mat::Fail("dataset " + Quote(shown), shown_path_, error);
  }

  OutputFile& same_file_;
  hid_t file_;
  std::optional<int> level_;
  std::size_t tile_bytes_;
  const std::string& shown_path_;
  std::optional<Handle> refs_;
  std::uint64_t refs_named_ = 0;
};

}  // namespace

bool CanWriteHdf5() { return true; }

void WriteHdf5(const std::string& path, const std::string& shown_path,
               std::span<const MatVariable> variables, std::optional<int> level,
               std::size_t tile_bytes, OutputFile& same_file) {
  // A file whose close failed (a full disk) stays open in the library, and
  // its own clean-up at exit would crash on it; the process ends without.
  H5dont_atexit();
  SilenceLibrary();
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
  {
    Hdf5Writer writer(file.get(), level, tile_bytes, shown_path, same_file);
    for (const MatVariable& variable : variables) {
      const std::string name(variable.name);
      if (const std::string problem = Hdf5NameProblem(name); !problem.empty()) {
        throw RunError("cannot write MAT-file " + Quote(shown_path) + ": " +
                       problem);
      }
      writer.Write(file.get(), name, name, variable);
    }
  }
  errno = 0;
  if (!file.Close()) Fail("HDF5", shown_path, LastError());
}

#endif

std::string Hdf5NameProblem(std::string_view name) {
  // HDF5 reads a '/' as a path into groups.
  if (!name.empty() && name != "." && name.find('/') == std::string::npos) {
    return "";
  }
  return "v7.3 cannot name a variable " + Quote(name) +
         ", as HDF5 reads a '/' in a name as a path; give another with "
         "--name";
}

#ifndef UNF2MAT_HAVE_HDF5

bool CanWriteHdf5() { return false; }

void WriteHdf5(const std::string&, const std::string&,
               std::span<const MatVariable>, std::optional<int>, std::size_t,
               OutputFile&) {}

#endif

}  // namespace unf2mat
