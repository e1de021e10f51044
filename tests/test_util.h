// Builders for data files (valid and damaged) and a shared run state.
#ifndef UNF2MAT_TESTS_TEST_UTIL_H_
#define UNF2MAT_TESTS_TEST_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "converter/run_state.h"
#include "recordio/record_format.h"
#include "recordio/record_reader.h"

namespace unf2mat::test {

using Records = std::vector<std::vector<float>>;

// One record framed with host-order markers around `payload`.
std::string FramedRecord(std::string_view payload);
// One record holding `values`.
std::string Record(const std::vector<float>& values);
std::string DataFile(const Records& records);

// The records as a compiler would write them with `framing`, each split into
// subrecords of at most `max_subrecord` bytes.
std::string FramedFile(const Records& records, const record::Framing& framing,
                       std::size_t max_subrecord = SIZE_MAX);

std::string Truncated(std::string bytes, std::size_t length);
std::string WithByteFlipped(std::string bytes, std::size_t pos);

// Little-endian byte strings, for golden expectations.
std::string Le32(std::uint32_t a, std::uint32_t b);
std::string LeDouble(double value);

// Reads the next record as loading takes a row of `count` values: kShort
// where the record holds fewer.
enum class Row { kOk, kShort, kDamaged, kEnd, kFailed };
Row ReadRow(RecordReader& reader, float* values, std::size_t count);

// A new empty directory under /tmp; the caller removes it.
std::string MakeTempDir();

// A process-wide RunState (its arrays are too large to make per test) with
// every field but x and core cleared.
RunState& FreshState();

}  // namespace unf2mat::test

#endif  // UNF2MAT_TESTS_TEST_UTIL_H_
