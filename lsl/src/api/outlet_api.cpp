#include "api/guard.h"
#include "api/handles.h"
#include "net/config_loader.h"
#include "net/log.h"
#include "net/outlet.h"

#include <lsl_c.h>

#include <memory>

struct lsl_outlet_struct_ {
  std::unique_ptr<maroquint::lsl::net::Outlet> outlet;
};

using maroquint::lsl::api::Guarded;

extern "C" {

LIBLSL_C_API lsl_outlet lsl_create_outlet(lsl_streaminfo info, int32_t chunk_size,
                                          int32_t max_buffered) {
  (void)chunk_size;  // every push is written at once, as liblsl 1.16 does
  if (!info || info->info.channel_format != maroquint::lsl::core::ChannelFormat::kString ||
      info->info.channel_count < 1)
    return nullptr;
  return Guarded("cannot create outlet", lsl_outlet{nullptr}, [&]() -> lsl_outlet {
    auto outlet = maroquint::lsl::net::Outlet::Create(info->info, max_buffered,
                                                      maroquint::lsl::net::ApiConfig());
    if (!outlet) {
      maroquint::lsl::net::LogWarning("cannot create outlet: " + outlet.Message());
      return nullptr;
    }
    return new lsl_outlet_struct_{std::move(*outlet)};
  });
}

LIBLSL_C_API void lsl_destroy_outlet(lsl_outlet out) {
  Guarded("lsl_destroy_outlet", [&] { delete out; });
}

LIBLSL_C_API int32_t lsl_push_sample_strt(lsl_outlet out, const char **data, double timestamp) {
  if (!out || !data) return lsl_argument_error;
  return Guarded("lsl_push_sample_strt", int32_t{lsl_internal_error}, [&]() -> int32_t {
    const auto channels = out->outlet->Info().channel_count;
    for (int32_t k = 0; k < channels; ++k)
      if (!data[k]) return lsl_argument_error;
    // A sample larger than the outlet can hold must not vanish silently.
    return out->outlet->Push(data, timestamp) ? lsl_no_error : lsl_argument_error;
  });
}

LIBLSL_C_API int32_t lsl_push_sample_str(lsl_outlet out, const char **data) {
  return lsl_push_sample_strt(out, data, 0.0);
}

LIBLSL_C_API int32_t lsl_have_consumers(lsl_outlet out) {
  return out && out->outlet->HaveConsumers() ? 1 : 0;
}

LIBLSL_C_API int32_t lsl_wait_for_consumers(lsl_outlet out, double timeout) {
  if (!out) return 0;
  return Guarded("lsl_wait_for_consumers", int32_t{0},
                 [&] { return out->outlet->WaitForConsumers(timeout) ? 1 : 0; });
}
}
