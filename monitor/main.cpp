#include "command_line.h"
#include "interrupt.h"
#include "lsl_marker_source.h"
#include "monitor_run.h"
#include "output_files.h"
#ifdef MAROQUINT_MONITOR_PLOT
#include "plot.h"
#endif

#include <lsl_c.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

using namespace maroquint::monitor;

namespace {

int UsageError(const std::string &message) {
  std::cerr << "maroquint-monitor: " << message << "\n"
            << UsageText() << "Try 'maroquint-monitor --help' for more information.\n";
  return kExitUsage;
}

int Watch(const Options &options) {
  // Every file is created before the search, so that a path that cannot be
  // written is reported at once rather than after a long watch.
  std::vector<std::unique_ptr<WatchRecorder>> recorders;
  RecordStatus opened;
  if (!options.output.empty()) {
    auto csv = std::make_unique<CsvFileRecorder>(options.output);
    opened = csv->Open();
    recorders.push_back(std::move(csv));
  }
  if (opened && !options.xdf.empty()) {
    auto xdf = std::make_unique<XdfFileRecorder>(options.xdf);
    opened = xdf->Open();
    recorders.push_back(std::move(xdf));
  }
  if (opened && !options.json.empty()) {
    auto json = std::make_unique<JsonFileRecorder>(options.json);
    opened = json->Open();
    recorders.push_back(std::move(json));
  }
  // The picture last: should PLplot fail, it ends the process, and the
  // other files are complete by then.
#ifdef MAROQUINT_MONITOR_PLOT
  if (opened && !options.plot.empty()) {
    auto plot = std::make_unique<PlotRecorder>(options.plot);
    opened = plot->Open();
    recorders.push_back(std::move(plot));
  }
#endif
  if (!opened) {
    std::cerr << "maroquint-monitor: " << opened.Message() << "\n";
    return kExitWriteFailed;
  }
  std::vector<WatchRecorder *> used;
  for (const auto &recorder : recorders) used.push_back(recorder.get());
  InstallInterruptHandler();
  LslMarkerSource source;
  // With --csv, standard output carries nothing but the CSV table.
  std::ostream &status = options.csv ? std::cerr : std::cout;
  const MonitorStreams out{std::cout, status, std::cerr};
  return RunMonitor(options, source, out, InterruptRequested, used);
}

}  // namespace

int main(int argc, char **argv) {
  const auto parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed) return UsageError(parsed.Message());
  const ParsedCommandLine &command_line = *parsed;
  switch (command_line.action) {
    case ParsedCommandLine::Action::kHelp:
      std::cout << HelpText();
      return kExitNormal;
    case ParsedCommandLine::Action::kVersion: {
      const int library = lsl_library_version();
      const int protocol = lsl_protocol_version();
      std::printf("maroquint-monitor %s (LSL library %d.%02d, protocol %d.%02d)\n",
                  MAROQUINT_VERSION, library / 100, library % 100, protocol / 100, protocol % 100);
      return kExitNormal;
    }
    case ParsedCommandLine::Action::kList:
    case ParsedCommandLine::Action::kRun:
      break;
  }
#ifndef MAROQUINT_MONITOR_PLOT
  if (!command_line.options.plot.empty())
    return UsageError(
        "--plot: this build of the monitor has no plotting (it was built without PLplot)");
#endif
  try {
    if (command_line.action == ParsedCommandLine::Action::kList) {
      LslMarkerSource source;
      return ListStreams(source, command_line.list_xml, std::cout, std::cerr);
    }
    return Watch(command_line.options);
  } catch (const std::exception &failure) {
    std::cerr << "maroquint-monitor: " << failure.what() << "\n";
    return kExitFailure;
  }
}
