/*
 * liblsl's C interface, for the part of it that Maroquint uses: string
 * marker outlets, resolving, and string inlets. The declarations match
 * liblsl 1.16's own, so code written against this header builds unchanged
 * against the real library.
 */
#pragma once

#include <stdint.h>

#if defined(LIBLSL_STATIC)
#define LIBLSL_C_API
#elif defined(_WIN32)
#if defined(LIBLSL_EXPORTS)
#define LIBLSL_C_API __declspec(dllexport)
#else
#define LIBLSL_C_API __declspec(dllimport)
#endif
#else
#define LIBLSL_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define LSL_IRREGULAR_RATE 0.0
#define LSL_DEDUCED_TIMESTAMP -1.0
#define LSL_FOREVER 32000000.0
#define LSL_NO_PREFERENCE 0

typedef enum {
  cft_undefined = 0,
  cft_float32 = 1,
  cft_double64 = 2,
  cft_string = 3,
  cft_int32 = 4,
  cft_int16 = 5,
  cft_int8 = 6,
  cft_int64 = 7,
  /* keeps the enum 4 bytes wide, as in liblsl */
  cft_bigint_ = 0x7f000000L
} lsl_channel_format_t;

typedef enum {
  lsl_no_error = 0,
  lsl_timeout_error = -1,
  lsl_lost_error = -2,
  lsl_argument_error = -3,
  lsl_internal_error = -4,
  lsl_bigint_ = 0x7f000000L
} lsl_error_code_t;

typedef struct lsl_streaminfo_struct_ *lsl_streaminfo;
typedef struct lsl_outlet_struct_ *lsl_outlet;
typedef struct lsl_inlet_struct_ *lsl_inlet;

extern LIBLSL_C_API int32_t lsl_protocol_version(void);
extern LIBLSL_C_API int32_t lsl_library_version(void);
extern LIBLSL_C_API double lsl_local_clock(void);
extern LIBLSL_C_API void lsl_destroy_string(char *s);

extern LIBLSL_C_API lsl_streaminfo lsl_create_streaminfo(const char *name, const char *type,
                                                         int32_t channel_count,
                                                         double nominal_srate,
                                                         lsl_channel_format_t channel_format,
                                                         const char *source_id);
extern LIBLSL_C_API void lsl_destroy_streaminfo(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_name(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_type(lsl_streaminfo info);
extern LIBLSL_C_API int32_t lsl_get_channel_count(lsl_streaminfo info);
extern LIBLSL_C_API double lsl_get_nominal_srate(lsl_streaminfo info);
extern LIBLSL_C_API lsl_channel_format_t lsl_get_channel_format(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_source_id(lsl_streaminfo info);
extern LIBLSL_C_API int32_t lsl_get_version(lsl_streaminfo info);
extern LIBLSL_C_API double lsl_get_created_at(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_uid(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_session_id(lsl_streaminfo info);
extern LIBLSL_C_API const char *lsl_get_hostname(lsl_streaminfo info);
extern LIBLSL_C_API char *lsl_get_xml(lsl_streaminfo info);

extern LIBLSL_C_API lsl_outlet lsl_create_outlet(lsl_streaminfo info, int32_t chunk_size,
                                                 int32_t max_buffered);
extern LIBLSL_C_API void lsl_destroy_outlet(lsl_outlet out);
extern LIBLSL_C_API int32_t lsl_push_sample_str(lsl_outlet out, const char **data);
extern LIBLSL_C_API int32_t lsl_push_sample_strt(lsl_outlet out, const char **data,
                                                 double timestamp);
extern LIBLSL_C_API int32_t lsl_have_consumers(lsl_outlet out);
extern LIBLSL_C_API int32_t lsl_wait_for_consumers(lsl_outlet out, double timeout);

extern LIBLSL_C_API int32_t lsl_resolve_byprop(lsl_streaminfo *buffer, uint32_t buffer_elements,
                                               const char *prop, const char *value, int32_t minimum,
                                               double timeout);
extern LIBLSL_C_API int32_t lsl_resolve_all(lsl_streaminfo *buffer, uint32_t buffer_elements,
                                            double wait_time);

extern LIBLSL_C_API lsl_inlet lsl_create_inlet(lsl_streaminfo info, int32_t max_buflen,
                                               int32_t max_chunklen, int32_t recover);
extern LIBLSL_C_API void lsl_destroy_inlet(lsl_inlet in);
extern LIBLSL_C_API void lsl_open_stream(lsl_inlet in, double timeout, int32_t *ec);
extern LIBLSL_C_API void lsl_close_stream(lsl_inlet in);
extern LIBLSL_C_API lsl_streaminfo lsl_get_fullinfo(lsl_inlet in, double timeout, int32_t *ec);
extern LIBLSL_C_API double lsl_pull_sample_str(lsl_inlet in, char **buffer, int32_t buffer_elements,
                                               double timeout, int32_t *ec);
extern LIBLSL_C_API uint32_t lsl_samples_available(lsl_inlet in);
extern LIBLSL_C_API double lsl_time_correction(lsl_inlet in, double timeout, int32_t *ec);
extern LIBLSL_C_API double lsl_time_correction_ex(lsl_inlet in, double *remote_time,
                                                  double *uncertainty, double timeout, int32_t *ec);

#ifdef __cplusplus
}
#endif
