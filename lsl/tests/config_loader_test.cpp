#include "net/config_loader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace maroquint::lsl::net {
namespace {

namespace fs = std::filesystem;

void SetEnv(const char *name, const std::optional<std::string> &value) {
#ifdef _WIN32
  _putenv_s(name, value ? value->c_str() : "");
#else
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
#endif
}

std::optional<std::string> GetEnv(const char *name) {
  const char *v = std::getenv(name);
  return v && *v ? std::optional<std::string>(v) : std::nullopt;
}

#ifdef _WIN32
constexpr const char *kHome = "USERPROFILE";
#else
constexpr const char *kHome = "HOME";
#endif

// A scratch folder as the working directory and home, restored afterwards.
class ConfigLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = fs::current_path();
    saved_cfg_ = GetEnv("LSLAPICFG");
    saved_home_ = GetEnv(kHome);
    root_ = fs::temp_directory_path() /
            ("lsl-config-lookup-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_ / "work");
    fs::create_directories(root_ / "home" / "lsl_api");
    fs::current_path(root_ / "work");
    SetEnv("LSLAPICFG", std::nullopt);
    SetEnv(kHome, (root_ / "home").string());
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    SetEnv("LSLAPICFG", saved_cfg_);
    SetEnv(kHome, saved_home_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static void Write(const fs::path &path) { std::ofstream(path) << "[lab]\nSessionID = x\n"; }

  fs::path root_;
  fs::path saved_cwd_;
  std::optional<std::string> saved_cfg_, saved_home_;
};

TEST_F(ConfigLookup, FollowsLiblslsOrder) {
  const auto home_file = root_ / "home" / "lsl_api" / "lsl_api.cfg";
  const auto env_file = root_ / "named.cfg";
  const bool system_file = fs::exists("/etc/lsl_api/lsl_api.cfg");

  if (!system_file) {
    EXPECT_EQ(FindConfigFile(), "") << "nothing readable: defaults";
  }
  Write(home_file);
  EXPECT_EQ(fs::path(FindConfigFile()), home_file);
  Write(root_ / "work" / "lsl_api.cfg");
  EXPECT_EQ(FindConfigFile(), "lsl_api.cfg") << "the working directory before home";
  Write(env_file);
  SetEnv("LSLAPICFG", env_file.string());
  EXPECT_EQ(fs::path(FindConfigFile()), env_file) << "LSLAPICFG first";
  SetEnv("LSLAPICFG", (root_ / "missing.cfg").string());
  EXPECT_EQ(FindConfigFile(), "lsl_api.cfg") << "an unreadable LSLAPICFG is passed over";
}

}  // namespace
}  // namespace maroquint::lsl::net
