// What the C handles point to. Shared by the outlet and the consumer side.
#ifndef LSL_API_HANDLES_H
#define LSL_API_HANDLES_H

#include "core/stream_info.h"

struct lsl_streaminfo_struct_ {
  lsl::core::StreamInfo info;
};

namespace lsl::api {

// A copy the caller owns (nullptr when memory runs out); never throws.
lsl_streaminfo_struct_ *NewStreaminfoHandle(const lsl::core::StreamInfo &info) noexcept;
// malloc'ed NUL-terminated copy for lsl_destroy_string; nullptr on failure.
char *CopyCString(const std::string &text) noexcept;

}  // namespace lsl::api

#endif
