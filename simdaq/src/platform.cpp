#include "platform.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace maroquint::simdaq {

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
#if defined(__linux__)
  // Linux lets a sleep run 50 us late by default, half a period at 10 kHz:
  // a sample clock wakes its reader at the tick.
  static thread_local const bool kPrecise = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  static_cast<void>(kPrecise);
#endif
  const auto target = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when));
  std::this_thread::sleep_until(target);
#endif
}

void SteadyClock::SpinUntil(Nanos when) {
  while (Now() < when) {
  }
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

void FileGate::Wait() {
  // How long a released gate may stay shut: nothing waits on it but the
  // device's first start.
  constexpr auto kPoll = std::chrono::milliseconds(2);
  std::FILE *file;
  while ((file = std::fopen(path_.c_str(), "rb")) == nullptr) std::this_thread::sleep_for(kPoll);
  std::fclose(file);
}

DeviceReservation::~DeviceReservation() {
  Give();
}

#if defined(_WIN32)

bool DeviceReservation::Take(std::string &problem) {
  char directory[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof directory, directory);
  const std::string path =
      (n > 0 && n < sizeof directory ? std::string(directory, n) : std::string(".\\")) +
      "simdaq-Dev1.lock";
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    problem = "the lock file " + path + " cannot be opened (error " +
              std::to_string(GetLastError()) + ").";
    return false;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
    problem = "the lock file " + path + " cannot be locked (error " + std::to_string(error) + ").";
    return false;
  }
  handle_ = h;
  return true;
}

void DeviceReservation::Give() {
  if (handle_ == nullptr) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

#else

bool DeviceReservation::Take(std::string &problem) {
  // An abstract socket name: no file to create or clean up, and the kernel
  // frees the name when the process ends however it ends.
  static const char kName[] = "simdaq-Dev1";
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    problem = std::string("no socket for the reservation: ") + std::strerror(errno) + ".";
    return false;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
    const int error = errno;
    close(fd);
    if (error == EADDRINUSE) return false;
    problem =
        std::string("the socket name @simdaq-Dev1 cannot be bound: ") + std::strerror(error) + ".";
    return false;
  }
  fd_ = fd;
  return true;
}

void DeviceReservation::Give() {
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

}  // namespace maroquint::simdaq
