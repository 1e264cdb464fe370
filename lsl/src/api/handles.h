// What the C handles point to. Shared by the outlet and the consumer side.
#pragma once

#include "core/stream_info.h"

#include <lsl_c.h>

#include <optional>

struct lsl_streaminfo_struct_ {
  maroquint::lsl::core::StreamInfo info;
};

namespace maroquint::lsl::api {

// The C enumeration and ours are one list under two names.
static_assert(int{cft_undefined} == static_cast<int>(core::ChannelFormat::kUndefined));
static_assert(int{cft_float32} == static_cast<int>(core::ChannelFormat::kFloat32));
static_assert(int{cft_double64} == static_cast<int>(core::ChannelFormat::kDouble64));
static_assert(int{cft_string} == static_cast<int>(core::ChannelFormat::kString));
static_assert(int{cft_int32} == static_cast<int>(core::ChannelFormat::kInt32));
static_assert(int{cft_int16} == static_cast<int>(core::ChannelFormat::kInt16));
static_assert(int{cft_int8} == static_cast<int>(core::ChannelFormat::kInt8));
static_assert(int{cft_int64} == static_cast<int>(core::ChannelFormat::kInt64));

// nullopt for a value outside the enumeration (a C caller can pass any int).
inline std::optional<core::ChannelFormat> ToChannelFormat(lsl_channel_format_t format) {
  if (format < cft_undefined || format > cft_int64) return std::nullopt;
  return static_cast<core::ChannelFormat>(format);
}
inline lsl_channel_format_t ToCFormat(core::ChannelFormat format) {
  return static_cast<lsl_channel_format_t>(format);
}

// A copy the caller owns (nullptr when memory runs out); never throws.
lsl_streaminfo_struct_ *NewStreaminfoHandle(const maroquint::lsl::core::StreamInfo &info) noexcept;
// malloc'ed NUL-terminated copy for lsl_destroy_string; nullptr on failure.
char *CopyCString(const std::string &text) noexcept;

}  // namespace maroquint::lsl::api
