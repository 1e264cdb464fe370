// How fast maroquint-align reads a BDF recording's trigger channel: a
// file of 64 EEG channels and Status at 2048 Hz, 5 minutes (121 MB), read
// by ReadEdfTrigger (our reader, 1 MiB at a time), by our reader alone from
// memory, and, where Debian's EDFlib is at hand, by EDFlib.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "edf_reader.h"
#include "inputs.h"
#include "onsets.h"
#ifdef MAROQUINT_BENCH_EDFLIB
#include <edflib.h>

#include <memory>
#endif

namespace {

constexpr int kRate = 2048;
constexpr int kEeg = 64;
constexpr int kSeconds = 300;

std::string Field(const std::string &text, std::size_t width) {
  std::string field = text;
  field.resize(width, ' ');
  return field;
}

// A plain BDF file, one record a second; Status has bit 0 set for 7
// samples at each second's 100th sample.
const std::string &Recording() {
  static const std::string kPath = [] {
    const std::string file =
        (std::filesystem::temp_directory_path() / "maroquint-edf-read-bench.bdf").string();
    const int ns = kEeg + 1;
    std::string header =
        "\xff"
        "BIOSEMI" +
        Field("", 160) + "08.12.2610.00.00" + Field(std::to_string(256 * (ns + 1)), 8) +
        Field("24BIT", 44) + Field(std::to_string(kSeconds), 8) + Field("1", 8) +
        Field(std::to_string(ns), 4);
    const auto each = [&](const std::string &text, std::size_t width) {
      for (int s = 0; s < ns; ++s) header += Field(text, width);
    };
    for (int s = 0; s < ns; ++s)
      header += Field(s == kEeg ? "Status" : "E" + std::to_string(s), 16);
    each("", 80);
    each("uV", 8);
    each("-262144", 8);
    each("262143", 8);
    each("-8388608", 8);
    each("8388607", 8);
    each("", 80);
    each(std::to_string(kRate), 8);
    each("", 32);
    std::string record;
    for (int s = 0; s < ns; ++s) {
      for (int i = 0; i < kRate; ++i) {
        const int value =
            s == kEeg ? (i >= 100 && i < 107 ? 1 : 0) | 0xFF00 : (i * 7919 + s) % 90000;
        for (int b = 0; b < 3; ++b) record += static_cast<char>((value >> (8 * b)) & 0xff);
      }
    }
    std::ofstream out(file, std::ios::binary);
    out << header;
    for (int r = 0; r < kSeconds; ++r) out << record;
    return file;
  }();
  return kPath;
}

double FileBytes() {
  return static_cast<double>(std::filesystem::file_size(Recording()));
}

void BmReadEdfTrigger(benchmark::State &state) {
  const std::string &path = Recording();
  for (auto _ : state) {
    const auto trigger = maroquint::align::ReadEdfTrigger(path, "Status", 0);
    if (!trigger.Ok()) {
      state.SkipWithError(trigger.Message().c_str());
      return;
    }
    if (trigger->onsets.size() != kSeconds) {
      state.SkipWithError("not every pulse was found");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileBytes()));
}
BENCHMARK(BmReadEdfTrigger)->Unit(benchmark::kMillisecond);

// The reader alone, the file held in memory: what the parsing costs.
void BmReaderFromMemory(benchmark::State &state) {
  std::ifstream in(Recording(), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::int32_t> values;
  for (auto _ : state) {
    maroquint::edf::Reader reader;
    maroquint::align::EdgeDetector detector(0);
    for (std::size_t i = 0; i < bytes.size(); i += std::size_t{1} << 20) {
      reader.Feed(std::string_view(bytes).substr(i, std::size_t{1} << 20));
      while (reader.NextRecord()) {
        reader.Values(kEeg, values);
        detector.Feed(values.data(), values.size());
      }
    }
    reader.Finish();
    benchmark::DoNotOptimize(detector.Onsets().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BmReaderFromMemory)->Unit(benchmark::kMillisecond);

#ifdef MAROQUINT_BENCH_EDFLIB
// EDFlib, as maroquint-align read BDF before: the Status channel in blocks.
void BmEdflib(benchmark::State &state) {
  std::vector<int> buffer(1 << 16);
  for (auto _ : state) {
    auto header = std::make_unique<edf_hdr_struct>();
    if (edfopen_file_readonly(Recording().c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) !=
        0) {
      state.SkipWithError("EDFlib cannot open the file");
      return;
    }
    maroquint::align::EdgeDetector detector(0);
    int count = 0;
    while ((count = edfread_digital_samples(header->handle, kEeg, static_cast<int>(buffer.size()),
                                            buffer.data())) > 0) {
      detector.Feed(buffer.data(), static_cast<std::size_t>(count));
    }
    edfclose_file(header->handle);
    benchmark::DoNotOptimize(detector.Onsets().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileBytes()));
}
BENCHMARK(BmEdflib)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(Recording().c_str());
  return 0;
}
