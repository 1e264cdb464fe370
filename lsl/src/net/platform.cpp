#include "net/platform.h"

#include <asio/ip/host_name.hpp>

#include <chrono>
#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

namespace maroquint::lsl::net {

double LocalClock() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - secs);
  return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::string HostName() {
  asio::error_code ec;
  auto name = asio::ip::host_name(ec);
  return ec ? std::string("localhost") : name;
}

std::array<uint8_t, 16> RandomBytes16() {
  std::random_device device;
  std::array<uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    auto word = device();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  return bytes;
}

void KeepFromChildProcesses(std::uintptr_t native_socket) {
#ifdef _WIN32
  SetHandleInformation(reinterpret_cast<HANDLE>(native_socket), HANDLE_FLAG_INHERIT, 0);
#else
  const int fd = static_cast<int>(native_socket);
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
#endif
}

void YieldOnWakeup() {
#if defined(__linux__)
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
#endif
}

}  // namespace maroquint::lsl::net
