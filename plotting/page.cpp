#include "page.h"

#include <plplot.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "base/text.h"

namespace maroquint::plotting {
namespace {

struct Rgb {
  Colour colour;
  int red;
  int green;
  int blue;
};

constexpr Rgb kPalette[] = {
    {kBlack, 0, 0, 0},
    {kBlue, 31, 87, 180},
    {kRed, 214, 39, 40},
    {kGrey, 215, 215, 215},
    {kOrange, 255, 127, 14},
    {kGreen, 44, 160, 44},
    {kPurple, 148, 103, 189},
    {kBrown, 140, 86, 75},
    {kDark, 64, 64, 64},
    {kLightOrange, 255, 200, 150},
    {kLightPurple, 210, 190, 230},
};

// PLplot's exit handler is a plain function: it reads who draws from here.
Drawer &CurrentDrawer() {
  static Drawer drawer;
  return drawer;
}

int ExitAsFailedWrite(PLCHAR_VECTOR message) {
  const Drawer &drawer = CurrentDrawer();
  std::fprintf(stderr, "%s: cannot draw the picture: %s\n", drawer.program.c_str(),
               message ? message : "PLplot failed");
  return drawer.failed_write_status;
}

// The PLplot device for the path's ending; none for another ending.
const char *DeviceFor(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  const std::string ending = base::ToLower(dot == std::string::npos ? "" : path.substr(dot + 1));
  return ending == "svg" ? "svg" : ending == "png" ? "pngcairo" : nullptr;
}

bool HasDevice(const char *name) {
  // plgDevs fills at most as many entries as the count it is given.
  constexpr int kRoom = 256;
  std::vector<const char *> menu(kRoom, nullptr), device(kRoom, nullptr);
  const char **m = menu.data();
  const char **d = device.data();
  int count = kRoom;
  plgDevs(&m, &d, &count);
  for (int i = 0; i < count && i < kRoom; ++i)
    if (device[i] != nullptr && std::string(device[i]) == name) return true;
  return false;
}

void SetUp(const std::string &path) {
  plsexit(ExitAsFailedWrite);
  plsdev(DeviceFor(path));
  plsfnam(path.c_str());
  plspage(0.0, 0.0, kPageWidth, kPageHeight, 0, 0);
  plscolbg(255, 255, 255);
  for (const Rgb &entry : kPalette) plscol0(entry.colour, entry.red, entry.green, entry.blue);
  plinit();
  plfontld(1);
  plschr(0.0, 0.6);
  pladv(0);
}

}  // namespace

PageStatus CheckPath(const std::string &path) {
  const char *device = DeviceFor(path);
  if (device == nullptr)
    return base::Fail(PageError::kUnknownFormat,
                      "cannot draw " + path + ": a picture is written as .svg or .png");
  if (!HasDevice(device))
    return base::Fail(PageError::kNoDriver, "cannot draw " + path + ": this PLplot has no '" +
                                                std::string(device) + "' driver");
  errno = 0;
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (!file)
    return base::Fail(PageError::kCannotCreate,
                      "cannot create " + path + ": " + std::strerror(errno != 0 ? errno : EIO));
  std::fclose(file);
  return {};
}

PageStatus BeginPage(const std::string &path, const Drawer &drawer) {
  if (PageStatus checked = CheckPath(path); !checked) return checked;
  CurrentDrawer() = drawer;
  SetUp(path);
  return {};
}

PageStatus EndPage(const std::string &path) {
  plend();
  std::error_code error;
  if (std::filesystem::file_size(path, error) == 0 || error)
    return base::Fail(PageError::kCannotWrite,
                      "cannot write " + path + ": the picture came out empty");
  return {};
}

}  // namespace maroquint::plotting
