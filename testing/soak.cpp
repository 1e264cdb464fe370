#include "soak.h"

#include "child_process.h"
#include "device_gate.h"
#include "program.h"

#include <lsl_c.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace maroquint::harness {
namespace {

using Clock = std::chrono::steady_clock;

// Generous, so that a busy machine is slow but never wrong.
constexpr double kResolveSeconds = 60.0;
constexpr double kQuietSeconds = 20.0;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads one line from fd, waiting at most timeout seconds; empty if none.
std::string ReadLine(int fd, double timeout) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  std::string line;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return std::string();
}

void WriteText(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The consumer process: connects to the program's stream, says "ready",
// pulls markers, and when the parent writes how many were pushed, pulls on
// until it has them all or none comes for a while; then writes
// "<received> <out of order>".
[[noreturn]] void Consumer(int from_parent, int to_parent) {
  lsl_streaminfo info = nullptr;
  if (lsl_resolve_byprop(&info, 1, "source_id", kSourceId, 1, kResolveSeconds) < 1) {
    WriteText(to_parent, "not found\n");
    _exit(1);
  }
  // A buffer far beyond the run: losses would be the outlet's, not ours.
  lsl_inlet inlet = lsl_create_inlet(info, 36000, 0, 1);
  lsl_destroy_streaminfo(info);
  int32_t error = 0;
  lsl_open_stream(inlet, kResolveSeconds, &error);
  if (error != 0) {
    WriteText(to_parent, "no connection\n");
    _exit(1);
  }
  WriteText(to_parent, "ready\n");
  long received = 0;
  long out_of_order = 0;
  long expected = -1;
  double last = 0.0;
  std::string pending;
  auto quiet_since = Clock::now();
  while (expected < 0 || received < expected) {
    char *sample[1] = {nullptr};
    error = 0;
    const double stamp = lsl_pull_sample_str(inlet, sample, 1, 0.2, &error);
    if (error != 0) break;
    if (stamp != 0.0) {
      lsl_destroy_string(sample[0]);
      if (received > 0 && stamp <= last) ++out_of_order;
      last = stamp;
      ++received;
      quiet_since = Clock::now();
    }
    if (expected < 0) {
      pollfd p{from_parent, POLLIN, 0};
      if (poll(&p, 1, 0) == 1) {
        char c = 0;
        while (read(from_parent, &c, 1) == 1 && c != '\n') pending += c;
        expected = std::strtol(pending.c_str(), nullptr, 10);
        quiet_since = Clock::now();
      }
    } else if (SecondsSince(quiet_since) > kQuietSeconds) {
      break;
    }
  }
  lsl_destroy_inlet(inlet);
  WriteText(to_parent, std::to_string(received) + " " + std::to_string(out_of_order) + "\n");
  _exit(0);
}

}  // namespace

SoakResult RunSoak(const SoakOptions &o) {
  SoakFigures r;
  // The consumer is forked before this process has any thread or socket.
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0)
    return base::Fail(SoakError::kNoPipes, std::string("no pipes: ") + std::strerror(errno));
  const pid_t consumer = fork();
  if (consumer == 0) {
    close(down[1]);
    close(up[0]);
    Consumer(down[0], up[1]);
  }
  close(down[0]);
  close(up[1]);
  struct ConsumerGuard {
    pid_t pid;
    int to, from;
    ~ConsumerGuard() {
      kill(pid, SIGCONT);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      close(to);
      close(from);
    }
  } guard{consumer, down[1], up[0]};

  // The read of sample cycles * 10000 fails: the pulses that rose at samples
  // 1, 10001, ... before it each pushed a marker.
  DeviceGate gate;
  const std::string simdaq = "SIMDAQ=clock=virtual;" + gate.Setting() +
                             ";fault=DAQmxReadAnalogF64@" + std::to_string(o.cycles * 10000) +
                             ":-200284:End of the soak.";
  r.pushed = o.cycles;
  ChildProcess program(o.program, {}, {simdaq});
  if (!program.Started() || !program.ReadUntil(kStartLine, kResolveSeconds))
    return base::Fail(SoakError::kProgramNotStarted,
                      "the program did not start: " + program.Output());
  const std::string ready = ReadLine(guard.from, kResolveSeconds);
  if (ready != "ready")
    return base::Fail(SoakError::kConsumerNotReady, "the consumer did not connect: " + ready);
  r.rss_start_kib = program.ResidentKib();
  if (o.pause_whole_run) kill(consumer, SIGSTOP);
  if (!gate.Release())
    return base::Fail(SoakError::kGateNotOpened, "the device's gate cannot be opened");
  const auto run_start = Clock::now();

  if (o.pause_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(o.pause_after));
    kill(consumer, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.pause_seconds));
    kill(consumer, SIGCONT);
  }
  // A day on the virtual clock takes about a minute; far more is a hang.
  const double run_limit = 60.0 + static_cast<double>(o.cycles) * 0.05;
  if (!program.ReadUntil(kEndLine, run_limit))
    return base::Fail(SoakError::kRunNotEnded,
                      "the program did not end its run: " + program.Output());
  r.wall_seconds = SecondsSince(run_start);
  r.rss_end_kib = program.ResidentKib();
  if (o.pause_whole_run) kill(consumer, SIGCONT);
  if (program.Output().find("DAQmx Error: End of the soak.\n") == std::string::npos)
    return base::Fail(SoakError::kRunEndedOtherwise,
                      "the run ended otherwise: " + program.Output());

  // The stream left with the device error; the consumer still takes what
  // reached it before, then counts.
  WriteText(guard.to, std::to_string(r.pushed) + "\n");
  const std::string counts = ReadLine(guard.from, run_limit + kQuietSeconds);
  if (std::sscanf(counts.c_str(), "%ld %ld", &r.received, &r.out_of_order) != 2)
    return base::Fail(SoakError::kNoConsumerCount, "no result from the consumer: " + counts);
  r.lost = r.pushed - r.received;
  program.WriteInput("\n");
  program.Wait();
  return r;
}

}  // namespace maroquint::harness
