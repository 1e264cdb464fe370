#include "format.h"

#include <array>
#include <utility>

#include "base/text.h"

namespace maroquint::xdf {
namespace {

constexpr std::array<std::pair<ChannelFormat, std::string_view>, 7> kFormatNames{{
    {ChannelFormat::kFloat32, "float32"},
    {ChannelFormat::kDouble64, "double64"},
    {ChannelFormat::kString, "string"},
    {ChannelFormat::kInt8, "int8"},
    {ChannelFormat::kInt16, "int16"},
    {ChannelFormat::kInt32, "int32"},
    {ChannelFormat::kInt64, "int64"},
}};

}  // namespace

std::string_view FormatName(ChannelFormat format) {
  for (const auto &[f, name] : kFormatNames) {
    if (f == format) return name;
  }
  return "undefined";
}

std::optional<ChannelFormat> ParseFormat(std::string_view name) {
  for (const auto &[f, n] : kFormatNames) {
    if (n == name) return f;
  }
  return std::nullopt;
}

int FormatSize(ChannelFormat format) {
  switch (format) {
    case ChannelFormat::kInt8:
      return 1;
    case ChannelFormat::kInt16:
      return 2;
    case ChannelFormat::kFloat32:
    case ChannelFormat::kInt32:
      return 4;
    case ChannelFormat::kDouble64:
    case ChannelFormat::kInt64:
      return 8;
    case ChannelFormat::kString:
      return 0;
  }
  return 0;
}

std::string FormatDouble(double value) {
  std::string text = base::Format("%.17g", value);
  // A locale with a decimal comma must not leak into the file.
  for (char &c : text) {
    if (c == ',') c = '.';
  }
  return text;
}

}  // namespace maroquint::xdf
