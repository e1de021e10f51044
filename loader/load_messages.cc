#include "loader/load_messages.h"

#include "common/run_error.h"

namespace unf2mat {

namespace {

// Follows a warning that plain rows do not fit the file.
constexpr std::string_view kDescribeProposes =
    "; unf2mat --describe may propose a command that reads it whole";

// "the record layout", or the statement's line of a layout of the file.
std::string StatementOf(const LoadEnd& end, std::string_view what,
                        std::string_view origin) {
  if (end.line == 0) return "the record layout";
  return "the " + std::string(what) + " on line " + std::to_string(end.line) +
         " of " + std::string(origin);
}

}  // namespace

std::string StopReason(const LoadEnd& end, std::uint64_t width,
                       std::string_view origin) {
  const std::string record = "record " + std::to_string(end.record);
  std::string reason;
  switch (end.reason) {
    case LoadEnd::Reason::kEnd:
      return "";
    case LoadEnd::Reason::kShortRecord:
      if (end.layout_bytes > 0) {
        reason = record + ", which holds " + Counted(end.bytes, "byte") +
                 ", fewer than the " + std::to_string(end.layout_bytes) + " " +
                 StatementOf(end, "record", origin) + " reads";
      } else {
        reason = record + ", which holds " + Counted(end.values, "value") +
                 ", fewer than the first record's " + std::to_string(width);
      }
      break;
    case LoadEnd::Reason::kDamaged:
      reason = record + ", whose framing is damaged, at byte offset " +
               std::to_string(end.offset);
      break;
    case LoadEnd::Reason::kEndOfFile:
      reason = "the end of the file, where " +
               StatementOf(end, "statement", origin) + " reads " + record;
      break;
    case LoadEnd::Reason::kNoBranch:
      reason = record + ", which holds " + Counted(end.bytes, "byte") +
               ", a length no branch of " + StatementOf(end, "either", origin) +
               " reads";
      break;
  }
  if (end.dropped_from > 0) {
    reason += "; the repetition it ends, from record " +
              std::to_string(end.dropped_from) + ", was dropped";
  }
  return reason;
}

std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width, std::string_view origin) {
  if (end.reason == LoadEnd::Reason::kEnd) return "";
  const std::string rest =
      end.reason == LoadEnd::Reason::kEndOfFile ? ""
      : end.unread_known
          ? "; " + Counted(end.unread, "byte") + " of the file " +
                (end.unread == 1 ? "was" : "were") + " not read"
          : "; the rest of the file was not read";
  // Plain rows that end at a shorter record may be a header and arrays.
  const bool rows_short =
      end.reason == LoadEnd::Reason::kShortRecord && end.layout_bytes == 0;
  return "loading of data file " + Quote(name) + " stopped at " +
         StopReason(end, width, origin) + rest +
         (rows_short ? std::string(kDescribeProposes) : "");
}

std::string LongerWarning(const LongerRecords& longer, std::string_view name,
                          std::string_view origin) {
  std::string what =
      longer.row_values
          ? "the first record's " + Counted(*longer.row_values, "value")
      : longer.line == 0 ? "the record layout reads"
                         : "the record on line " + std::to_string(longer.line) +
                               " of " + std::string(origin) + " reads";
  std::string text = "record " + std::to_string(longer.first) +
                     " of data file " + Quote(name) + " holds " +
                     Counted(longer.first_bytes, "byte") + " more than " +
                     what + ", which " +
                     (longer.first_bytes == 1 ? "was" : "were") + " not read";
  if (longer.records > 1) {
    const std::uint64_t more = longer.records - 1;
    text += "; " + std::to_string(more) +
            (more == 1 ? " more record does" : " more records do") + " too, " +
            Counted(longer.bytes, "byte") + " in all";
  }
  if (longer.row_values) text += kDescribeProposes;
  return text;
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

void WarnAboutLoad(OutputFile& warnings, const FramingChoice& choice,
                   const LoadEnd& end, std::uint64_t width,
                   std::string_view name, std::string_view origin) {
  if (const std::string warning = FramingWarning(choice, name);
      !warning.empty()) {
    Warn(warnings, warning);
  }
  // Where no framing fits, that warning has said why nothing loads.
  if (choice.basis == FramingChoice::Basis::kNoneFits) return;
  if (const std::string stop = StopWarning(end, name, width, origin);
      !stop.empty()) {
    Warn(warnings, stop);
  }
}

std::string InexactValueMessage(std::uint64_t record, std::string_view name,
                                std::string_view field, std::int64_t value,
                                std::uint64_t offset) {
  const std::string where =
      record > 0 ? "record " + std::to_string(record)
                 : "the record at byte offset " + std::to_string(offset);
  return where + " of data file " + Quote(name) + " holds " +
         (field.empty() ? "" : "in field " + Quote(field) + " ") +
         "the int8 value " + std::to_string(value) +
         ", which a double does not hold exactly; --class native keeps it";
}

}  // namespace unf2mat
