// XDF files, as a recorder on another machine or a damaged disk leaves them.
// Reading a file whole and in pieces must give the same streams.
#include "reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

bool SameBits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace maroquint::xdf;
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  // Small limits, so that inputs of fuzzing size reach them.
  Limits limits;
  limits.max_chunk_bytes = 4096;
  limits.max_streams = 8;
  limits.max_channels = 64;
  limits.max_values = 4096;
  const File whole = Read(bytes, limits);

  Reader reader(limits);
  for (std::size_t i = 0, piece = 1; i < size; i += piece, piece = piece % 13 + 1)
    reader.Feed(bytes.substr(i, piece));
  const File pieces = reader.Finish();

  if (whole.header_xml != pieces.header_xml || whole.streams.size() != pieces.streams.size() ||
      whole.warnings.size() != pieces.warnings.size())
    std::abort();
  for (std::size_t s = 0; s < whole.streams.size(); ++s) {
    const Stream &a = whole.streams[s];
    const Stream &b = pieces.streams[s];
    if (a.id != b.id || !SameBits(a.time_stamps, b.time_stamps) || !SameBits(a.values, b.values) ||
        a.strings != b.strings || a.clock_offsets.size() != b.clock_offsets.size() ||
        a.footer_xml != b.footer_xml)
      std::abort();
    const std::size_t per_sample = static_cast<std::size_t>(a.info.channel_count);
    const std::size_t held = a.values.size() + a.strings.size();
    if (held != a.SampleCount() * per_sample) std::abort();
  }
  return 0;
}
