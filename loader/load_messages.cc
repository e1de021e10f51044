#include "loader/load_messages.h"

#include "common/run_error.h"

namespace unf2mat {

std::string StopReason(const LoadEnd& end, std::uint64_t width) {
  const std::string record = "record " + std::to_string(end.record);
  switch (end.reason) {
    case LoadEnd::Reason::kEnd:
      break;
    case LoadEnd::Reason::kShortRecord:
      if (end.layout_bytes > 0) {
        return record + ", which holds " + Counted(end.bytes, "byte") +
               ", fewer than the " + std::to_string(end.layout_bytes) +
               " the record layout reads";
      }
      return record + ", which holds " + Counted(end.values, "value") +
             ", fewer than the first record's " + std::to_string(width);
    case LoadEnd::Reason::kDamaged:
      return record + ", whose framing is damaged, at byte offset " +
             std::to_string(end.offset);
  }
  return "";
}

std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width) {
  if (end.reason == LoadEnd::Reason::kEnd) return "";
  const std::string rest =
      end.unread_known ? Counted(end.unread, "byte") + " of the file " +
                             (end.unread == 1 ? "was" : "were") + " not read"
                       : "the rest of the file was not read";
  return "loading of data file " + Quote(name) + " stopped at " +
         StopReason(end, width) + "; " + rest;
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
                   std::string_view name) {
  if (const std::string warning = FramingWarning(choice, name);
      !warning.empty()) {
    Warn(warnings, warning);
  }
  // Where no framing fits, that warning has said why nothing loads.
  if (choice.basis == FramingChoice::Basis::kNoneFits) return;
  if (const std::string stop = StopWarning(end, name, width); !stop.empty()) {
    Warn(warnings, stop);
  }
}

std::string InexactValueMessage(std::uint64_t record, std::string_view name,
                                std::string_view field, std::int64_t value) {
  return "record " + std::to_string(record) + " of data file " + Quote(name) +
         " holds " + (field.empty() ? "" : "in field " + Quote(field) + " ") +
         "the int8 value " + std::to_string(value) +
         ", which a double does not hold exactly; --class native keeps it";
}

}  // namespace unf2mat
