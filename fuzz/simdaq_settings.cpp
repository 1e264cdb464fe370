// The SIMDAQ environment variable and settings files: text a user types.
// Settings that are accepted must give a wire whose readings stay in ai0's
// range (or are what a script asked for).
#include "settings.h"
#include "wire.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void DriveWire(const maroquint::simdaq::Settings &settings) {
  maroquint::simdaq::Wire wire(settings);
  wire.Start(1e-4, -10.0, 10.0);
  for (std::uint64_t k = 0; k < 64; ++k) {
    const double reading = wire.Next(k % 30 < 3 ? 5.0 : 0.0);
    if (settings.wire == maroquint::simdaq::WireMode::kScript && k < settings.script.size())
      continue;
    if (!std::isnan(reading) && (reading < -10.0 || reading > 10.0)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  for (bool from_file : {false, true}) {
    const auto parsed = maroquint::simdaq::ParseSettings(text, from_file);
    if (parsed.Ok())
      DriveWire(*parsed);
    else if (parsed.Message().empty())
      std::abort();
  }
  // "@path" reads a file; the reader hands back the same text as its contents.
  const std::string reference = "@" + text;
  const auto from_file = maroquint::simdaq::ParseEnvironmentValue(
      reference.c_str(), [](const std::string &path, std::string &contents) {
        contents = path;
        return true;
      });
  // A refusal always says what it refuses.
  if (!from_file.Ok() && from_file.Message().empty()) std::abort();
  return 0;
}
