// XDF files, as a recorder on another machine or a damaged disk leaves them.
// Reading a file whole and in pieces must give the same streams, and a
// Parser's sink must see what the Reader collects.
#include "reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using namespace maroquint::xdf;

bool SameBits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool SameWarnings(const std::vector<Warning> &a, const std::vector<Warning> &b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].count != b[i].count || a[i].first != b[i].first) {
      return false;
    }
  }
  return true;
}

bool SameStatus(const Status &a, const Status &b) {
  if (a.Ok() || b.Ok()) return a.Ok() == b.Ok();
  return a.Code() == b.Code() && a.Message() == b.Message();
}

// Per stream in header order: its time stamps and the last channel's
// values, as a streaming caller takes them.
class LastChannel : public Sink {
 public:
  void OnStreamHeader(std::uint32_t id, std::string_view, const StreamInfo &) override {
    ids.push_back(id);
    stamps.emplace_back();
    values.emplace_back();
  }
  void OnSamples(const SampleChunk &chunk) override {
    std::size_t s = 0;
    while (ids[s] != chunk.StreamId()) ++s;
    stamps[s].insert(stamps[s].end(), chunk.TimeStamps().begin(), chunk.TimeStamps().end());
    if (chunk.Info().format == ChannelFormat::kString) return;
    chunk.Channel(chunk.Info().channel_count - 1, channel_);
    values[s].insert(values[s].end(), channel_.begin(), channel_.end());
  }

  std::vector<std::uint32_t> ids;
  std::vector<std::vector<double>> stamps;
  std::vector<std::vector<double>> values;

 private:
  std::vector<double> channel_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
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
      !SameWarnings(whole.warnings, pieces.warnings) || !SameStatus(whole.status, pieces.status))
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

  // Without the stored values' limit, the streaming path sees at least
  // what the Reader kept, and the same where the Reader was not stopped.
  LastChannel sink;
  Parser parser(sink, limits);
  for (std::size_t i = 0, piece = 7; i < size; i += piece, piece = piece % 29 + 3)
    parser.Feed(bytes.substr(i, piece));
  parser.End();
  if (sink.ids.size() < whole.streams.size()) std::abort();
  for (std::size_t s = 0; s < whole.streams.size(); ++s) {
    const Stream &a = whole.streams[s];
    if (sink.ids[s] != a.id || sink.stamps[s].size() < a.time_stamps.size()) std::abort();
    if (!whole.status.Ok()) continue;
    if (!SameBits(sink.stamps[s], a.time_stamps)) std::abort();
    if (a.info.format == ChannelFormat::kString) continue;
    const std::size_t channels = static_cast<std::size_t>(a.info.channel_count);
    std::vector<double> last;
    for (std::size_t i = 0; i < a.SampleCount(); ++i)
      last.push_back(a.values[i * channels + channels - 1]);
    if (!SameBits(sink.values[s], last)) std::abort();
  }
  return 0;
}
