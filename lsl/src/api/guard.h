// Nothing may throw across the C API. Every entry point runs its body
// through Guarded, which turns any exception into the entry point's error
// result (and the error code, where it has one) and a warning.
#pragma once

#include "net/log.h"

#include <lsl_c.h>

#include <cstdint>
#include <exception>
#include <string>

namespace maroquint::lsl::api {

inline void SetEc(int32_t *ec, int32_t value) {
  if (ec != nullptr) *ec = value;
}

inline void WarnAbout(const char *entry_point, const char *what) noexcept {
  try {
    net::LogWarning(std::string(entry_point) + ": " + what);
  } catch (...) {
  }
}

template <typename Result, typename Body>
Result Guarded(const char *entry_point, Result on_error, Body &&body,
               int32_t *ec = nullptr) noexcept {
  try {
    return body();
  } catch (const std::exception &e) {
    WarnAbout(entry_point, e.what());
  } catch (...) {
    WarnAbout(entry_point, "unknown error");
  }
  SetEc(ec, lsl_internal_error);
  return on_error;
}

template <typename Body>
void Guarded(const char *entry_point, Body &&body) noexcept {
  Guarded(entry_point, 0, [&] {
    body();
    return 0;
  });
}

}  // namespace maroquint::lsl::api
