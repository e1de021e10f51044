#include "loader/load_start.h"

#include <string>

#include "common/run_error.h"

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

void ThrowReadFailure(std::string_view name, int error) {
  throw RunError(FileError("cannot read data file", name, error));
}

LoadRules::Verdict DecideFraming(RecordReader& reader, LoadRules& rules,
                                 const RecordPlan& plan, std::string_view name,
                                 FramingChoice* choice) {
  // A header, or a record of a layout, may be of any length: the framing is
  // looked for as far as in the longest plain rows.
  const bool plain = plan.records_before() == 0 && !plan.row.by_layout;
  LoadRules any_length(LoadLimits{}, 8, std::nullopt);
  LoadRules& reach = plain ? rules : any_length;
  if (reader.DetectFraming(reach.first_record_bytes_limit(), choice,
                           reach.stream_lookahead_bytes()) ==
      ReadStatus::kFailed) {
    ThrowReadFailure(name, reader.error());
  }
  if (!choice->first_record_bytes || !plain) return LoadRules::Verdict::kTake;
  return rules.Claim(*choice->first_record_bytes);
}

}  // namespace unf2mat
