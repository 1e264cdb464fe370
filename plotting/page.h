// One page of a picture drawn with PLplot, set up the same way for every
// picture of the project: the format by the file's ending, one page size,
// white paper, one palette, one character size, and one way a failed write
// is reported.
#pragma once

#include <string>

#include "base/result.h"

namespace maroquint::plotting {

// The palette: PLplot's colour map 0 entries, the same colour for the same
// kind of mark in every picture.
enum Colour : int {
  kBlack = 1,
  kBlue,
  kRed,
  kGrey,
  kOrange,
  kGreen,
  kPurple,
  kBrown,
  kDark,
  kLightOrange,
  kLightPurple,
};

// Pixels of a page (a PNG's size; an SVG's view box).
constexpr int kPageWidth = 1000;
constexpr int kPageHeight = 1200;

enum class PageError {
  kUnknownFormat,  // the path ends in neither .svg nor .png
  kNoDriver,       // this PLplot cannot draw that format
  kCannotCreate,   // the file cannot be created
  kCannotWrite,    // the picture came out empty: PLplot's drivers report no failed write
};
using PageStatus = base::Status<PageError>;

// PLplot ends the process on an error of its own, whatever its handler
// returns: the program it names then and the status it ends with, the
// program's status for a failed write (PLplot's own 1 would read as another
// failure). The path is checked before drawing, so this is for the
// unforeseen.
struct Drawer {
  std::string program;
  int failed_write_status = 1;
};

// Whether `path` can take a picture: an ending of .svg or .png (any letter
// case) that this PLplot has a driver for, and a file that can be created.
// The file is left empty.
PageStatus CheckPath(const std::string &path);

// Checks the path and sets the page up: the PLplot calls that follow draw
// on it, the page already advanced to.
PageStatus BeginPage(const std::string &path, const Drawer &drawer);

// Ends the page begun on `path`. PLplot's drivers report no failed write
// (a full disk): a picture that came out empty is kCannotWrite.
PageStatus EndPage(const std::string &path);

}  // namespace maroquint::plotting
