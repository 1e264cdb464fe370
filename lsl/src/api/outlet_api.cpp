#include "api/handles.h"
#include "net/config_loader.h"
#include "net/outlet.h"

#include <lsl_c.h>

#include <cstdio>
#include <exception>

struct lsl_outlet_struct_ {
  lsl::net::Outlet outlet;
};

extern "C" {

LIBLSL_C_API lsl_outlet lsl_create_outlet(lsl_streaminfo info, int32_t chunk_size,
                                          int32_t max_buffered) {
  (void)chunk_size;  // every push is written at once, as liblsl 1.16 does
  if (!info || info->info.channel_format != lsl::core::ChannelFormat::kString ||
      info->info.channel_count < 1)
    return nullptr;
  try {
    return new lsl_outlet_struct_{
        lsl::net::Outlet(info->info, max_buffered, lsl::net::ApiConfig())};
  } catch (const std::exception &e) {
    std::fprintf(stderr, "lsl: cannot create outlet: %s\n", e.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

LIBLSL_C_API void lsl_destroy_outlet(lsl_outlet out) {
  try {
    delete out;
  } catch (...) {
  }
}

LIBLSL_C_API int32_t lsl_push_sample_strt(lsl_outlet out, const char **data, double timestamp) {
  if (!out || !data) return lsl_argument_error;
  try {
    const auto channels = out->outlet.Info().channel_count;
    for (int32_t k = 0; k < channels; ++k)
      if (!data[k]) return lsl_argument_error;
    out->outlet.Push(data, timestamp);
    return lsl_no_error;
  } catch (...) {
    return lsl_internal_error;
  }
}

LIBLSL_C_API int32_t lsl_push_sample_str(lsl_outlet out, const char **data) {
  return lsl_push_sample_strt(out, data, 0.0);
}

LIBLSL_C_API int32_t lsl_have_consumers(lsl_outlet out) {
  return out && out->outlet.HaveConsumers() ? 1 : 0;
}

LIBLSL_C_API int32_t lsl_wait_for_consumers(lsl_outlet out, double timeout) {
  if (!out) return 0;
  try {
    return out->outlet.WaitForConsumers(timeout) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
}
