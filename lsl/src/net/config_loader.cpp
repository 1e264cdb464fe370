#include "net/config_loader.h"

#include "net/log.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace maroquint::lsl::net {
namespace {

constexpr std::streamsize kMaxConfigFileBytes = 1 << 20;

bool Readable(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return static_cast<bool>(file);
}

std::string HomeDirectory() {
#ifdef _WIN32
  const char *home = std::getenv("USERPROFILE");
#else
  const char *home = std::getenv("HOME");
#endif
  return home ? home : "";
}

core::Config Load() {
  const auto path = FindConfigFile();
  if (path.empty()) return core::Config{};
  std::ifstream file(path, std::ios::binary);
  std::string text;
  text.resize(static_cast<std::size_t>(kMaxConfigFileBytes) + 1);
  file.read(&text[0], kMaxConfigFileBytes + 1);
  text.resize(static_cast<std::size_t>(file.gcount()));
  auto result = core::ParseConfig(text);
  for (const auto &error : result.errors) LogWarning(path + ": " + error);
  return result.config;
}

}  // namespace

std::string FindConfigFile() {
  if (const char *env = std::getenv("LSLAPICFG"); env && *env && Readable(env)) return env;
  if (Readable("lsl_api.cfg")) return "lsl_api.cfg";
  if (auto home = HomeDirectory(); !home.empty()) {
    auto path = home + "/lsl_api/lsl_api.cfg";
    if (Readable(path)) return path;
  }
  if (Readable("/etc/lsl_api/lsl_api.cfg")) return "/etc/lsl_api/lsl_api.cfg";
  return "";
}

const core::Config &ApiConfig() {
  static const core::Config kConfig = Load();
  return kConfig;
}

}  // namespace maroquint::lsl::net
