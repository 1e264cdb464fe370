// The SIMDAQ environment variable and settings files: text a user types.
#include "settings.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  simdaq::ParseSettings(text, false);
  simdaq::ParseSettings(text, true);
  // "@path" reads a file; the reader hands back the same text as its contents.
  const std::string reference = "@" + text;
  simdaq::ParseEnvironmentValue(reference.c_str(),
                                [](const std::string &path, std::string &contents) {
                                  contents = path;
                                  return true;
                                });
  return 0;
}
