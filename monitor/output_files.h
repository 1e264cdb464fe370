// The files the monitor writes: a thin layer that puts the bytes the pure
// formatters make into files and checks every write, so that a full disk or
// an unwritable path ends the watch with a message instead of losing data.
#pragma once

#include "monitor_run.h"

#include "writer.h"

#include <cstdio>
#include <string>
#include <vector>

namespace maroquint::monitor {

// A file written in pieces, each flushed at once so that what was written
// stays readable whatever happens next.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  RecordStatus Open();
  RecordStatus Write(const std::string &bytes);
  RecordStatus Close();

 private:
  base::Error<RecordError> Failure(RecordError code, int error) const;

  std::string path_;
  std::FILE *file_ = nullptr;
};

// --output: the markers as CSV, after a line that names the stream.
class CsvFileRecorder final : public WatchRecorder {
 public:
  explicit CsvFileRecorder(const std::string &path) : file_(path) {}
  RecordStatus Open() { return file_.Open(); }
  RecordStatus StreamFound(const StreamDescription &stream, double now) override;
  RecordStatus OtherStreamFound(const StreamDescription &stream, double now) override;
  RecordStatus OutletChanged(const StreamDescription &outlet, double now) override;
  RecordStatus MarkerReceived(const MarkerRecord &marker) override;
  RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status) override;

 private:
  OutputFile file_;
};

// --json: the summary and the verdict, written at the end.
class JsonFileRecorder final : public WatchRecorder {
 public:
  explicit JsonFileRecorder(const std::string &path) : file_(path) {}
  RecordStatus Open() { return file_.Open(); }
  RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status) override;

 private:
  OutputFile file_;
};

// --xdf: the watched stream recorded as XDF 1.0, as LabRecorder records
// it: the file header at once, the stream header with the stream's full
// XML once it is found, a samples chunk per marker as it arrives, a clock
// offset at every time correction (every 5 s), a boundary chunk every 10 s
// and the stream footer at the end, also after Ctrl+C or a lost stream.
class XdfFileRecorder final : public WatchRecorder {
 public:
  static constexpr std::uint32_t kStreamId = 1;
  static constexpr double kBoundaryInterval = 10.0;

  explicit XdfFileRecorder(const std::string &path) : file_(path) {}
  RecordStatus Open();
  RecordStatus StreamFound(const StreamDescription &stream, double now) override;
  RecordStatus MarkerReceived(const MarkerRecord &marker) override;
  RecordStatus CorrectionMeasured(double now, const ClockEstimate &estimate) override;
  RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status) override;

 private:
  RecordStatus BoundaryIfDue(double now);

  OutputFile file_;
  bool stream_written_ = false;
  double last_boundary_ = 0.0;
  xdf::FooterInfo footer_;
};

}  // namespace maroquint::monitor
