#include "output_files.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "base/json.h"
#include "base/time.h"

namespace maroquint::monitor {

OutputFile::~OutputFile() {
  if (file_) std::fclose(file_);
}

std::string OutputFile::Failure(const char *what, int error) const {
  return std::string("cannot ") + what + " " + path_ + ": " + std::strerror(error);
}

std::string OutputFile::Open() {
  errno = 0;
  file_ = std::fopen(path_.c_str(), "wb");
  if (!file_) return Failure("create", errno);
  return {};
}

std::string OutputFile::Write(const std::string &bytes) {
  if (!file_) return "cannot write " + path_ + ": it is not open";
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
      std::fflush(file_) != 0) {
    const int error = errno != 0 ? errno : EIO;
    // The stream keeps what it could not write and would try again at every
    // later write; the file ends here, with the bytes that did reach it.
    std::fclose(file_);
    file_ = nullptr;
    return Failure("write", error);
  }
  return {};
}

std::string OutputFile::Close() {
  if (!file_) return {};
  errno = 0;
  const int result = std::fclose(file_);
  file_ = nullptr;
  if (result != 0) return Failure("close", errno != 0 ? errno : EIO);
  return {};
}

namespace {

std::string UtcNow() {
  return base::FormatUtc(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

std::string CsvFileRecorder::StreamFound(const StreamDescription &stream, double) {
  return file_.Write("# maroquint-monitor: stream " + FormatStreamLine(stream) + ", uid " +
                     stream.uid + "; watched from " + UtcNow() + "\n" + CsvHeader());
}

// Between the rows, as comment lines that readers skip (pandas: comment="#").
std::string CsvFileRecorder::OtherStreamFound(const StreamDescription &stream, double) {
  return file_.Write("# another stream matches, not watched: " + FormatStreamLine(stream) +
                     ", uid " + stream.uid + "; found at " + UtcNow() + "\n");
}

std::string CsvFileRecorder::OutletChanged(const StreamDescription &outlet, double) {
  return file_.Write("# restart: the stream goes on from a new outlet, uid " + outlet.uid +
                     " on host \"" + outlet.hostname + "\"; seen at " + UtcNow() + "\n");
}

std::string CsvFileRecorder::MarkerReceived(const MarkerRecord &marker) {
  return file_.Write(FormatCsvRow(marker.row));
}

std::string CsvFileRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  return file_.Close();
}

std::string JsonFileRecorder::Finish(const WatchReport &report,
                                     const std::vector<std::string> &reasons, int exit_status) {
  const std::string error = file_.Write(base::WriteJson(JsonReport(report, reasons, exit_status)));
  return error.empty() ? file_.Close() : error;
}

std::string XdfFileRecorder::Open() {
  std::string error = file_.Open();
  if (!error.empty()) return error;
  const std::tm utc = base::UtcCalendar(std::time(nullptr));
  char datetime[40];
  std::strftime(datetime, sizeof datetime, "%Y-%m-%dT%H:%M:%S+0000", &utc);
  return file_.Write(xdf::FileHeader(datetime));
}

std::string XdfFileRecorder::BoundaryIfDue(double now) {
  if (now - last_boundary_ < kBoundaryInterval) return {};
  last_boundary_ = now;
  return file_.Write(xdf::Boundary());
}

std::string XdfFileRecorder::StreamFound(const StreamDescription &stream, double now) {
  // A restarted outlet is the same stream to the reader: one header only.
  if (stream_written_) return {};
  stream_written_ = true;
  last_boundary_ = now;
  return file_.Write(xdf::StreamHeader(kStreamId, stream.xml));
}

std::string XdfFileRecorder::MarkerReceived(const MarkerRecord &marker) {
  std::string error = BoundaryIfDue(marker.received);
  if (!error.empty()) return error;
  if (footer_.sample_count == 0) footer_.first_timestamp = marker.row.timestamp;
  footer_.last_timestamp = marker.row.timestamp;
  ++footer_.sample_count;
  return file_.Write(xdf::StringSamplesChunk(kStreamId, {{marker.row.timestamp, marker.channels}}));
}

std::string XdfFileRecorder::CorrectionMeasured(double now, const ClockEstimate &estimate) {
  std::string error = BoundaryIfDue(now);
  if (!error.empty()) return error;
  footer_.clock_offsets.push_back({now, estimate.correction});
  return file_.Write(xdf::ClockOffset(kStreamId, now, estimate.correction));
}

std::string XdfFileRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  if (stream_written_) {
    std::string error = file_.Write(xdf::StreamFooter(kStreamId, footer_));
    if (!error.empty()) return error;
  }
  return file_.Close();
}

}  // namespace maroquint::monitor
