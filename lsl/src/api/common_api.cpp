#include "api/guard.h"
#include "api/handles.h"
#include "net/platform.h"

#include <lsl_c.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace maroquint::lsl::api {

lsl_streaminfo_struct_ *NewStreaminfoHandle(const maroquint::lsl::core::StreamInfo &info) noexcept {
  return maroquint::lsl::api::Guarded("stream info", static_cast<lsl_streaminfo_struct_ *>(nullptr),
                                      [&] { return new lsl_streaminfo_struct_{info}; });
}

char *CopyCString(const std::string &text) noexcept {
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace maroquint::lsl::api

extern "C" {

LIBLSL_C_API int32_t lsl_protocol_version(void) {
  return maroquint::lsl::core::kProtocolVersion;
}

LIBLSL_C_API int32_t lsl_library_version(void) {
  return maroquint::lsl::core::kLibraryVersion;
}

LIBLSL_C_API double lsl_local_clock(void) {
  return maroquint::lsl::net::LocalClock();
}

LIBLSL_C_API void lsl_destroy_string(char *s) {
  std::free(s);
}
}
