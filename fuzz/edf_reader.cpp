// EDF and BDF files, as a recorder that crashed or a damaged disk leaves
// them. Reading a file whole and in pieces must give the same header, the
// same values and the same warnings or error; the values of a record never
// exceed its format's width, and the records announced are never exceeded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "edf_reader.h"

namespace {

using namespace maroquint::edf;

struct Result {
  std::string error;                 // the code and the message; empty when read
  std::vector<std::int32_t> values;  // every signal of every record, in file order
  std::vector<Warning> warnings;
  std::int64_t records = 0;
};

void Drain(Reader &reader, Result &result) {
  std::vector<std::int32_t> values;
  const std::int32_t limit = reader.FileHeader().format == Format::kBdf ? 1 << 23 : 1 << 15;
  while (reader.NextRecord()) {
    for (std::size_t s = 0; s < reader.FileHeader().signals.size(); ++s) {
      reader.Values(static_cast<int>(s), values);
      if (values.size() !=
          static_cast<std::size_t>(reader.FileHeader().signals[s].samples_per_record))
        std::abort();
      for (const std::int32_t v : values)
        if (v < -limit || v >= limit) std::abort();
      result.values.insert(result.values.end(), values.begin(), values.end());
    }
  }
  result.records = reader.RecordsRead();
  if (reader.FileHeader().records >= 0 && result.records > reader.FileHeader().records)
    std::abort();
}

Result Read(std::string_view bytes, std::size_t first_piece) {
  // Small limits, so that inputs of fuzzing size reach them.
  Limits limits;
  limits.max_signals = 16;
  limits.max_samples_per_record = 512;
  limits.max_record_bytes = 4096;
  Reader reader(limits);
  Result result;
  for (std::size_t i = 0, piece = first_piece; i < bytes.size();
       i += piece, piece = piece % 13 + 1) {
    reader.Feed(bytes.substr(i, piece));
    Drain(reader, result);
  }
  reader.Finish();
  Drain(reader, result);
  if (!reader.Outcome().Ok()) {
    result.error = std::to_string(static_cast<int>(reader.Outcome().Code())) + ": " +
                   reader.Outcome().Message();
  }
  result.warnings = reader.Warnings();
  return result;
}

bool Same(const Result &a, const Result &b) {
  if (a.error != b.error || a.values != b.values || a.records != b.records ||
      a.warnings.size() != b.warnings.size())
    return false;
  for (std::size_t i = 0; i < a.warnings.size(); ++i) {
    const Warning &x = a.warnings[i];
    const Warning &y = b.warnings[i];
    if (x.kind != y.kind || x.count != y.count || x.at_byte != y.at_byte) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const Result whole = Read(bytes, size == 0 ? 1 : size);
  if (!Same(whole, Read(bytes, 1))) std::abort();
  return 0;
}
