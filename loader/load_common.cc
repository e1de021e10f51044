#include "loader/load_common.h"

#include <string>

#include "loader/loader.h"

namespace unf2mat {

std::unique_ptr<PosixInputFile> OpenDataFile(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) {
    throw RunError("the data file name " + Quote(name) +
                   " holds a NUL byte; refusing to open a shorter name");
  }
  std::unique_ptr<PosixInputFile> file;
  if (int error = PosixInputFile::Open(name, &file); error != 0) {
    throw RunError(FileError("cannot open data file", name, error));
  }
  return file;
}

bool Whole(ReadStatus status, const RecordReader& reader,
           std::string_view name) {
  if (status == ReadStatus::kFailed) {
    throw RunError(FileError("cannot read data file", name, reader.error()));
  }
  return status == ReadStatus::kOk;
}

[[noreturn]] void RefuseLargeMatrix(std::string_view name, std::uint64_t limit,
                                    std::string_view hint) {
  throw RunError("data file " + Quote(name) +
                 " holds a matrix over the limit of " + std::to_string(limit) +
                 " values" + std::string(hint));
}

[[noreturn]] void RefuseLongFirstRecord(std::string_view name,
                                        std::uint64_t values,
                                        std::uint64_t limit,
                                        std::string_view hint) {
  throw RunError("the first record of data file " + Quote(name) + " holds " +
                 std::to_string(values) + " values, over the limit of " +
                 std::to_string(limit) + std::string(hint));
}

[[noreturn]] void RefuseEmptyRecords(std::string_view name) {
  throw RunError("data file " + Quote(name) + " holds more than " +
                 std::to_string(kMaxEmptyRecords) + " records of no values");
}

std::string FramingWarning(const FramingChoice& choice, std::string_view name) {
  const std::string taken =
      "; reading it with " + record::Describe(choice.framing);
  switch (choice.basis) {
    case FramingChoice::Basis::kVerified:
      break;
    case FramingChoice::Basis::kAmbiguous:
      return "the first records of data file " + Quote(name) +
             " fit more than one record framing" + taken;
    case FramingChoice::Basis::kNoneFits:
      return "data file " + Quote(name) +
             " is not a Fortran unformatted sequential file as far as its "
             "first record shows: no record framing fits it" +
             taken;
  }
  return "";
}

void WarnAboutLoad(OutputFile& err, const FramingChoice& choice,
                   const RunState& state, std::string_view name) {
  if (const std::string warning = FramingWarning(choice, name);
      !warning.empty()) {
    Warn(err, warning);
  }
  // Where no framing fits, that warning has said why nothing loads.
  if (choice.basis == FramingChoice::Basis::kNoneFits) return;
  if (const std::string stop =
          StopWarning(state.end, name, static_cast<std::uint64_t>(state.irow));
      !stop.empty()) {
    Warn(err, stop);
  }
}

}  // namespace unf2mat
