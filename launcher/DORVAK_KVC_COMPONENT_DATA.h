/*
 * The dorvak component data record: constant data, compiled into the
 * launcher and handed to the runtime unchanged.
 *
 * Each list is an array paired with a count; the count says how many entries
 * the runtime is given, and a list whose count is 0 still holds one entry,
 * the empty text.
 */
#ifndef DORVAK_KVC_COMPONENT_DATA_H
#define DORVAK_KVC_COMPONENT_DATA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* DER SubjectPublicKeyInfo of the component's RSA key, 160 bytes as
 * 320 upper-case hex digits. */
extern const char __KVC_dorvak_public_data[321];
extern const char *const __KVC_dorvak_name_data;
extern const char *const __KVC_dorvak_root_data;
/* Session key, 128 bytes (the modulus size) as 256 upper-case hex digits. */
extern const char __KVC_dorvak_session_data[257];
extern const char *const __KVC_dorvak_kavricpath_data[34];
extern const int32_t __KVC_dorvak_kavricpath_data_count;
extern const char *const __KVC_dorvak_classpath_data[1];
extern const int32_t __KVC_dorvak_classpath_data_count;
extern const char *const __KVC_dorvak_krt_application_options[1];
extern const int32_t __KVC_dorvak_krt_application_option_count;
extern const char *const __KVC_dorvak_krt_runtime_options[1];
extern const int32_t __KVC_dorvak_krt_runtime_option_count;

#ifdef __cplusplus
}
#endif

#endif /* DORVAK_KVC_COMPONENT_DATA_H */
