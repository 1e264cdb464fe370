// The consumer half of the C API: resolving and string inlets.
#include "lsl_c.h"

#include "api/guard.h"
#include "api/handles.h"
#include "core/query.h"
#include "net/config_loader.h"
#include "net/inlet.h"
#include "net/log.h"
#include "net/resolver.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct lsl_inlet_struct_ {
  std::unique_ptr<maroquint::lsl::net::Inlet> inlet;
};

namespace {

using maroquint::lsl::api::Guarded;
using maroquint::lsl::api::SetEc;

int32_t ErrorCode(maroquint::lsl::net::InletResult result) {
  switch (result) {
    case maroquint::lsl::net::InletResult::kOk:
      return lsl_no_error;
    case maroquint::lsl::net::InletResult::kTimeout:
      return lsl_timeout_error;
    case maroquint::lsl::net::InletResult::kLost:
      return lsl_lost_error;
  }
  return lsl_internal_error;
}

using Resolved = maroquint::base::Result<std::vector<maroquint::lsl::core::StreamInfo>,
                                         maroquint::lsl::net::ResolveError>;

int32_t HandOut(const Resolved &found, lsl_streaminfo *buffer, uint32_t buffer_elements,
                const char *entry_point) {
  if (!found) {
    maroquint::lsl::net::LogWarning(std::string(entry_point) + ": " + found.Message());
    return lsl_internal_error;
  }
  uint32_t written = 0;
  for (const maroquint::lsl::core::StreamInfo &info : *found) {
    if (written >= buffer_elements) break;
    lsl_streaminfo handle = maroquint::lsl::api::NewStreaminfoHandle(info);
    if (handle == nullptr) break;
    buffer[written++] = handle;
  }
  return static_cast<int32_t>(written);
}

}  // namespace

extern "C" {

LIBLSL_C_API int32_t lsl_resolve_byprop(lsl_streaminfo *buffer, uint32_t buffer_elements,
                                        const char *prop, const char *value, int32_t minimum,
                                        double timeout) {
  if (prop == nullptr || value == nullptr || (buffer == nullptr && buffer_elements > 0))
    return lsl_argument_error;
  return Guarded("lsl_resolve_byprop", int32_t{lsl_internal_error}, [&] {
    const auto &config = maroquint::lsl::net::ApiConfig();
    const std::string query =
        maroquint::lsl::core::BuildBypropQuery(config.session_id, prop, value);
    return HandOut(maroquint::lsl::net::Resolve(config, query, minimum, timeout), buffer,
                   buffer_elements, "lsl_resolve_byprop");
  });
}

LIBLSL_C_API int32_t lsl_resolve_all(lsl_streaminfo *buffer, uint32_t buffer_elements,
                                     double wait_time) {
  if (buffer == nullptr && buffer_elements > 0) return lsl_argument_error;
  return Guarded("lsl_resolve_all", int32_t{lsl_internal_error}, [&] {
    const auto &config = maroquint::lsl::net::ApiConfig();
    const std::string query = maroquint::lsl::core::BuildSessionQuery(config.session_id);
    return HandOut(maroquint::lsl::net::Resolve(config, query, 0, wait_time), buffer,
                   buffer_elements, "lsl_resolve_all");
  });
}

LIBLSL_C_API lsl_inlet lsl_create_inlet(lsl_streaminfo info, int32_t max_buflen,
                                        int32_t max_chunklen, int32_t recover) {
  if (info == nullptr || !maroquint::lsl::net::Inlet::Accepts(info->info)) return nullptr;
  return Guarded("lsl_create_inlet", lsl_inlet{nullptr}, [&] {
    auto inlet = maroquint::lsl::net::Inlet::Create(maroquint::lsl::net::ApiConfig(), info->info,
                                                    max_buflen, max_chunklen, recover != 0);
    if (!inlet) {
      maroquint::lsl::net::LogWarning("lsl_create_inlet: " + inlet.Message());
      return lsl_inlet{nullptr};
    }
    return new lsl_inlet_struct_{std::move(*inlet)};
  });
}

LIBLSL_C_API void lsl_destroy_inlet(lsl_inlet in) {
  Guarded("lsl_destroy_inlet", [&] { delete in; });
}

LIBLSL_C_API void lsl_open_stream(lsl_inlet in, double timeout, int32_t *ec) {
  if (in == nullptr) return SetEc(ec, lsl_argument_error);
  Guarded(
      "lsl_open_stream", 0,
      [&] {
        SetEc(ec, ErrorCode(in->inlet->OpenStream(timeout)));
        return 0;
      },
      ec);
}

LIBLSL_C_API void lsl_close_stream(lsl_inlet in) {
  if (in == nullptr) return;
  Guarded("lsl_close_stream", [&] { in->inlet->CloseStream(); });
}

LIBLSL_C_API lsl_streaminfo lsl_get_fullinfo(lsl_inlet in, double timeout, int32_t *ec) {
  if (in == nullptr) {
    SetEc(ec, lsl_argument_error);
    return nullptr;
  }
  return Guarded(
      "lsl_get_fullinfo", lsl_streaminfo{nullptr},
      [&]() -> lsl_streaminfo {
        maroquint::lsl::core::StreamInfo info;
        const maroquint::lsl::net::InletResult result = in->inlet->FullInfo(timeout, info);
        SetEc(ec, ErrorCode(result));
        if (result != maroquint::lsl::net::InletResult::kOk) return nullptr;
        lsl_streaminfo handle = maroquint::lsl::api::NewStreaminfoHandle(info);
        if (handle == nullptr) SetEc(ec, lsl_internal_error);
        return handle;
      },
      ec);
}

LIBLSL_C_API double lsl_pull_sample_str(lsl_inlet in, char **buffer, int32_t buffer_elements,
                                        double timeout, int32_t *ec) {
  SetEc(ec, lsl_no_error);
  if (in == nullptr || buffer == nullptr ||
      buffer_elements != in->inlet->DeclaredInfo().channel_count) {
    SetEc(ec, lsl_argument_error);
    return 0.0;
  }
  return Guarded(
      "lsl_pull_sample_str", 0.0,
      [&] {
        std::vector<std::string> values;
        maroquint::lsl::net::InletResult result;
        const double timestamp = in->inlet->PullSample(values, timeout, result);
        if (result == maroquint::lsl::net::InletResult::kLost) {
          SetEc(ec, lsl_lost_error);
          return 0.0;
        }
        // A timeout is no error here: 0.0 with ec unchanged.
        if (result != maroquint::lsl::net::InletResult::kOk) return 0.0;
        if (values.size() != static_cast<std::size_t>(buffer_elements)) {
          SetEc(ec, lsl_internal_error);
          return 0.0;
        }
        for (int32_t k = 0; k < buffer_elements; ++k) {
          buffer[k] = maroquint::lsl::api::CopyCString(values[static_cast<std::size_t>(k)]);
          if (buffer[k] == nullptr) {
            for (int32_t j = 0; j < k; ++j) {
              std::free(buffer[j]);
              buffer[j] = nullptr;
            }
            SetEc(ec, lsl_internal_error);
            return 0.0;
          }
        }
        return timestamp;
      },
      ec);
}

LIBLSL_C_API uint32_t lsl_samples_available(lsl_inlet in) {
  if (in == nullptr) return 0;
  return Guarded("lsl_samples_available", uint32_t{0},
                 [&] { return in->inlet->SamplesAvailable(); });
}

LIBLSL_C_API double lsl_time_correction_ex(lsl_inlet in, double *remote_time, double *uncertainty,
                                           double timeout, int32_t *ec) {
  if (in == nullptr) {
    SetEc(ec, lsl_argument_error);
    return 0.0;
  }
  return Guarded(
      "lsl_time_correction_ex", 0.0,
      [&] {
        maroquint::lsl::net::InletResult result;
        const maroquint::lsl::core::TimeEstimate estimate =
            in->inlet->TimeEstimate(timeout, result);
        SetEc(ec, ErrorCode(result));
        // Without an estimate the outputs keep what the caller had in them.
        if (result != maroquint::lsl::net::InletResult::kOk) return 0.0;
        if (remote_time != nullptr) *remote_time = estimate.remote_time;
        if (uncertainty != nullptr) *uncertainty = estimate.rtt;
        return estimate.correction;
      },
      ec);
}

LIBLSL_C_API double lsl_time_correction(lsl_inlet in, double timeout, int32_t *ec) {
  return lsl_time_correction_ex(in, nullptr, nullptr, timeout, ec);
}

}  // extern "C"
