// maroquint-monitor's command line; NUL bytes separate the arguments.
#include "command_line.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using maroquint::monitor::ParsedCommandLine;
  std::vector<std::string> args;
  const char *bytes = reinterpret_cast<const char *>(data);
  for (std::size_t start = 0; start <= size && args.size() < 64;) {
    std::size_t end = start;
    while (end < size && bytes[end] != '\0') ++end;
    args.emplace_back(bytes + start, end - start);
    start = end + 1;
  }
  if (size == 0) args.clear();
  const auto parsed = maroquint::monitor::ParseCommandLine(args);
  if (!parsed) {
    if (parsed.Message().empty()) std::abort();
    return 0;
  }
  if (parsed->action != ParsedCommandLine::Action::kRun &&
      parsed->action != ParsedCommandLine::Action::kList)
    return 0;
  const auto &options = parsed->options;
  // A watch never starts with a time it cannot wait for or a limit below 0.
  const auto positive = [](double s) { return s > 0.0 && std::isfinite(s); };
  if (!positive(options.timeout) || !positive(options.period) ||
      (options.duration && !positive(*options.duration)) ||
      (options.every && !positive(*options.every)) || (options.count && *options.count <= 0) ||
      options.max_missed < 0 || !(options.max_jitter >= 0.0) || !std::isfinite(options.max_jitter))
    std::abort();
  maroquint::monitor::DescribeQuery(options.query);
  return 0;
}
