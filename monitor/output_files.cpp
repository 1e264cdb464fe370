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

base::Error<RecordError> OutputFile::Failure(RecordError code, int error) const {
  const char *what = code == RecordError::kCreate  ? "create"
                     : code == RecordError::kWrite ? "write"
                                                   : "close";
  return base::Fail(code,
                    std::string("cannot ") + what + " " + path_ + ": " + std::strerror(error));
}

RecordStatus OutputFile::Open() {
  errno = 0;
  file_ = std::fopen(path_.c_str(), "wb");
  if (!file_) return Failure(RecordError::kCreate, errno);
  return {};
}

RecordStatus OutputFile::Write(const std::string &bytes) {
  if (!file_) return base::Fail(RecordError::kWrite, "cannot write " + path_ + ": it is not open");
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
      std::fflush(file_) != 0) {
    const int error = errno != 0 ? errno : EIO;
    // The stream keeps what it could not write and would try again at every
    // later write; the file ends here, with the bytes that did reach it.
    std::fclose(file_);
    file_ = nullptr;
    return Failure(RecordError::kWrite, error);
  }
  return {};
}

RecordStatus OutputFile::Close() {
  if (!file_) return {};
  errno = 0;
  const int result = std::fclose(file_);
  file_ = nullptr;
  if (result != 0) return Failure(RecordError::kClose, errno != 0 ? errno : EIO);
  return {};
}

namespace {

std::string UtcNow() {
  return base::FormatUtc(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

RecordStatus CsvFileRecorder::StreamFound(const StreamDescription &stream, double) {
  return file_.Write("# maroquint-monitor: stream " + FormatStreamLine(stream) + ", uid " +
                     stream.uid + "; watched from " + UtcNow() + "\n" + CsvHeader());
}

// Between the rows, as comment lines that readers skip (pandas: comment="#").
RecordStatus CsvFileRecorder::OtherStreamFound(const StreamDescription &stream, double) {
  return file_.Write("# another stream matches, not watched: " + FormatStreamLine(stream) +
                     ", uid " + stream.uid + "; found at " + UtcNow() + "\n");
}

RecordStatus CsvFileRecorder::OutletChanged(const StreamDescription &outlet, double) {
  return file_.Write("# restart: the stream goes on from a new outlet, uid " + outlet.uid +
                     " on host \"" + outlet.hostname + "\"; seen at " + UtcNow() + "\n");
}

RecordStatus CsvFileRecorder::MarkerReceived(const MarkerRecord &marker) {
  return file_.Write(FormatCsvRow(marker.row));
}

RecordStatus CsvFileRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  return file_.Close();
}

RecordStatus JsonFileRecorder::Finish(const WatchReport &report,
                                      const std::vector<std::string> &reasons, int exit_status) {
  const RecordStatus written =
      file_.Write(base::WriteJson(JsonReport(report, reasons, exit_status)));
  return written ? file_.Close() : written;
}

RecordStatus XdfFileRecorder::Open() {
  const RecordStatus opened = file_.Open();
  if (!opened) return opened;
  const std::tm utc = base::UtcCalendar(std::time(nullptr));
  char datetime[40];
  std::strftime(datetime, sizeof datetime, "%Y-%m-%dT%H:%M:%S+0000", &utc);
  return file_.Write(xdf::FileHeader(datetime));
}

RecordStatus XdfFileRecorder::BoundaryIfDue(double now) {
  if (now - last_boundary_ < kBoundaryInterval) return {};
  last_boundary_ = now;
  return file_.Write(xdf::Boundary());
}

RecordStatus XdfFileRecorder::StreamFound(const StreamDescription &stream, double now) {
  // A restarted outlet is the same stream to the reader: one header only.
  if (stream_written_) return {};
  stream_written_ = true;
  last_boundary_ = now;
  return file_.Write(xdf::StreamHeader(kStreamId, stream.xml));
}

RecordStatus XdfFileRecorder::MarkerReceived(const MarkerRecord &marker) {
  const RecordStatus boundary = BoundaryIfDue(marker.received);
  if (!boundary) return boundary;
  if (footer_.sample_count == 0) footer_.first_timestamp = marker.row.timestamp;
  footer_.last_timestamp = marker.row.timestamp;
  ++footer_.sample_count;
  return file_.Write(xdf::StringSamplesChunk(kStreamId, {{marker.row.timestamp, marker.channels}}));
}

RecordStatus XdfFileRecorder::CorrectionMeasured(double now, const ClockEstimate &estimate) {
  const RecordStatus boundary = BoundaryIfDue(now);
  if (!boundary) return boundary;
  footer_.clock_offsets.push_back({now, estimate.correction});
  return file_.Write(xdf::ClockOffset(kStreamId, now, estimate.correction));
}

RecordStatus XdfFileRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  if (stream_written_) {
    const RecordStatus footer = file_.Write(xdf::StreamFooter(kStreamId, footer_));
    if (!footer) return footer;
  }
  return file_.Close();
}

}  // namespace maroquint::monitor
