#include "device_gate.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>

namespace maroquint::harness {

DeviceGate::DeviceGate() {
  // Unique beside other tests' gates on the same machine, at the same time
  // or left over from a run that was killed.
  static std::atomic<unsigned> count{0};
  std::random_device random;
  const std::filesystem::path name = "maroquint-gate-" + std::to_string(random()) + "-" +
                                     std::to_string(random()) + "-" + std::to_string(++count);
  path_ = (std::filesystem::temp_directory_path() / name).string();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

DeviceGate::~DeviceGate() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool DeviceGate::Release() {
  std::FILE *file = std::fopen(path_.c_str(), "wb");
  if (file == nullptr) return false;
  return std::fclose(file) == 0;
}

}  // namespace maroquint::harness
