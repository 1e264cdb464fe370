#include "api/guard.h"
#include "api/handles.h"
#include "net/config_loader.h"
#include "net/platform.h"

#include <lsl_c.h>

#include <cmath>

using maroquint::lsl::core::ChannelFormat;

extern "C" {

LIBLSL_C_API lsl_streaminfo lsl_create_streaminfo(const char *name, const char *type,
                                                  int32_t channel_count, double nominal_srate,
                                                  lsl_channel_format_t channel_format,
                                                  const char *source_id) {
  return maroquint::lsl::api::Guarded(
      "lsl_create_streaminfo", lsl_streaminfo{nullptr}, [&]() -> lsl_streaminfo {
        if (!name || !*name || channel_count < 0 || !(nominal_srate >= 0.0) ||
            std::isinf(nominal_srate))
          return nullptr;
        const auto format = maroquint::lsl::api::ToChannelFormat(channel_format);
        if (!format || *format == ChannelFormat::kUndefined) return nullptr;
        maroquint::lsl::core::StreamInfo info;
        info.name = name;
        info.type = type ? type : "";
        info.channel_count = channel_count;
        info.nominal_srate = nominal_srate;
        info.channel_format = *format;
        info.source_id = source_id ? source_id : "";
        info.session_id = maroquint::lsl::net::ApiConfig().session_id;
        info.hostname = maroquint::lsl::net::HostName();
        return maroquint::lsl::api::NewStreaminfoHandle(info);
      });
}

LIBLSL_C_API void lsl_destroy_streaminfo(lsl_streaminfo info) {
  delete info;
}

LIBLSL_C_API const char *lsl_get_name(lsl_streaminfo info) {
  return info ? info->info.name.c_str() : "";
}
LIBLSL_C_API const char *lsl_get_type(lsl_streaminfo info) {
  return info ? info->info.type.c_str() : "";
}
LIBLSL_C_API int32_t lsl_get_channel_count(lsl_streaminfo info) {
  return info ? info->info.channel_count : 0;
}
LIBLSL_C_API double lsl_get_nominal_srate(lsl_streaminfo info) {
  return info ? info->info.nominal_srate : 0.0;
}
LIBLSL_C_API lsl_channel_format_t lsl_get_channel_format(lsl_streaminfo info) {
  return info ? maroquint::lsl::api::ToCFormat(info->info.channel_format) : cft_undefined;
}
LIBLSL_C_API const char *lsl_get_source_id(lsl_streaminfo info) {
  return info ? info->info.source_id.c_str() : "";
}
LIBLSL_C_API int32_t lsl_get_version(lsl_streaminfo info) {
  return info ? info->info.version : 0;
}
LIBLSL_C_API double lsl_get_created_at(lsl_streaminfo info) {
  return info ? info->info.created_at : 0.0;
}
LIBLSL_C_API const char *lsl_get_uid(lsl_streaminfo info) {
  return info ? info->info.uid.c_str() : "";
}
LIBLSL_C_API const char *lsl_get_session_id(lsl_streaminfo info) {
  return info ? info->info.session_id.c_str() : "";
}
LIBLSL_C_API const char *lsl_get_hostname(lsl_streaminfo info) {
  return info ? info->info.hostname.c_str() : "";
}

LIBLSL_C_API char *lsl_get_xml(lsl_streaminfo info) {
  if (!info) return nullptr;
  return maroquint::lsl::api::Guarded("lsl_get_xml", static_cast<char *>(nullptr), [&] {
    return maroquint::lsl::api::CopyCString(maroquint::lsl::core::ToFullXml(info->info));
  });
}
}
