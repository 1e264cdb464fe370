#include "output_files.h"

#include <cerrno>
#include <chrono>
#include <cstring>

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

std::string CsvFileRecorder::StreamFound(const StreamDescription &stream, double) {
  const double utc =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return file_.Write("# maroquint-monitor: stream " + FormatStreamLine(stream) + ", uid " +
                     stream.uid + "; watched from " + FormatUtc(utc) + "\n" + CsvHeader());
}

std::string CsvFileRecorder::MarkerReceived(const MarkerRecord &marker) {
  return file_.Write(FormatCsvRow(marker.row));
}

std::string CsvFileRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  return file_.Close();
}

std::string JsonFileRecorder::Finish(const WatchReport &report,
                                     const std::vector<std::string> &reasons, int exit_status) {
  const std::string error = file_.Write(FormatJsonReport(report, reasons, exit_status));
  return error.empty() ? file_.Close() : error;
}

}  // namespace maroquint::monitor
