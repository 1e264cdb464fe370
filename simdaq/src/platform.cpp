#include "platform.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace simdaq {

Nanos SteadyClock::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SteadyClock::SleepUntil(Nanos when) {
#if defined(_WIN32)
  // Windows sleeps in steps of a millisecond or more: sleep through the bulk
  // of the wait, then yield until the sample is due.
  constexpr Nanos kSleepGranularity = 2000000;
  if (when - Now() > kSleepGranularity)
    std::this_thread::sleep_for(std::chrono::nanoseconds(when - Now() - kSleepGranularity));
  while (Now() < when) std::this_thread::yield();
#else
  const auto target = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when));
  std::this_thread::sleep_until(target);
#endif
}

FileTraceSink::~FileTraceSink() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileTraceSink::Open(const std::string &path) {
  file_ = std::fopen(path.c_str(), "ab");
  return file_ != nullptr;
}

void FileTraceSink::Write(const std::string &line, bool flush) {
  std::fwrite(line.data(), 1, line.size(), file_);
  if (flush) std::fflush(file_);
}

namespace {
constexpr char kLockName[] = "simdaq-Dev1.lock";
}  // namespace

FileReservation::~FileReservation() {
  Give();
}

#if defined(_WIN32)

void FileReservation::SetDirectory(const std::string &directory) {
  std::string dir = directory;
  if (dir.empty()) {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    dir = n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string(".");
  }
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  path_ = dir + kLockName;
}

bool FileReservation::Take(std::string &problem) {
  HANDLE h = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    problem = "the lock file " + path_ + " cannot be opened (error " +
              std::to_string(GetLastError()) + ").";
    return false;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
    problem = "the lock file " + path_ + " cannot be locked (error " + std::to_string(error) + ").";
    return false;
  }
  handle_ = h;
  return true;
}

void FileReservation::Give() {
  if (handle_ == nullptr) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

#else

void FileReservation::SetDirectory(const std::string &directory) {
  std::string dir = directory;
  if (dir.empty()) {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    dir = runtime != nullptr && runtime[0] != '\0' ? runtime : "/tmp";
  }
  if (dir.back() != '/') dir += '/';
  path_ = dir + kLockName;
}

bool FileReservation::Take(std::string &problem) {
  // Other users may need to lock the same file: it is made writable for all,
  // and a file that cannot be opened for writing is locked read-only.
  int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = "the lock file " + path_ + " cannot be opened: " + std::strerror(errno) + ".";
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) return false;
    problem = "the lock file " + path_ + " cannot be locked: " + std::strerror(error) + ".";
    return false;
  }
  fd_ = fd;
  return true;
}

void FileReservation::Give() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

#endif

bool ReadWholeFile(const std::string &path, std::string &contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  contents = buffer.str();
  return true;
}

}  // namespace simdaq
