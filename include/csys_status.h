/* Status codes, the export macro and the type-check declarations shared by every family. */
#ifndef CSYS_STATUS_H
#define CSYS_STATUS_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(CSYS_BUILDING)
#define CSYS_API __declspec(dllexport)
#else
#define CSYS_API __declspec(dllimport)
#endif
#else
#define CSYS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define CSYS_EXTERN_C_BEGIN extern "C" {
#define CSYS_EXTERN_C_END }
#else
#define CSYS_EXTERN_C_BEGIN
#define CSYS_EXTERN_C_END
#endif

/* A set top bit is a failure; every other value is a success, 0 plain success. */
typedef int32_t csys_status;

#define CSYS_FAILED(status) ((((uint32_t)(status)) & 0x80000000u) != 0u)
#define CSYS_SUCCEEDED(status) (!CSYS_FAILED(status))

#define CSYS_STATUS(value) ((csys_status)(uint32_t)(value))

#define CSYS_OK CSYS_STATUS(0x00000000u)
#define CSYS_SHUTDOWN_POSTPONED CSYS_STATUS(0x00000041u)
#define CSYS_SHUTDOWN_ALREADY_DONE CSYS_STATUS(0x00000042u)
#define CSYS_SHUTDOWN_IN_PROGRESS CSYS_STATUS(0x00000043u)
#define CSYS_E_FAIL CSYS_STATUS(0x80000000u)
#define CSYS_E_BASE64_NULL CSYS_STATUS(0x80000001u)
#define CSYS_E_INVALID_ARGUMENT CSYS_STATUS(0x80000002u)
#define CSYS_E_NOT_SUPPORTED CSYS_STATUS(0x80000005u)
#define CSYS_E_NEGATIVE_SIZE CSYS_STATUS(0x80000022u)
#define CSYS_E_OUT_OF_MEMORY CSYS_STATUS(0x80000023u)
#define CSYS_E_INVALID_RECT CSYS_STATUS(0x80000029u)
#define CSYS_E_INVALID_BLOCK CSYS_STATUS(0x8000002au)
#define CSYS_E_INVALID_ALIGNMENT CSYS_STATUS(0x8000002bu)
#define CSYS_E_SHUT_DOWN CSYS_STATUS(0x80000044u)
#define CSYS_E_TIMEOUT CSYS_STATUS(0x80000061u)
#define CSYS_E_THREAD_NOT_STARTED CSYS_STATUS(0x800000c1u)
#define CSYS_E_OS CSYS_STATUS(0x800000c2u)
#define CSYS_E_NO_THREAD_RECORD CSYS_STATUS(0x800000c3u)
#define CSYS_E_THREAD_ENDED CSYS_STATUS(0x800000c4u)
#define CSYS_E_UNKNOWN_THREAD_KIND CSYS_STATUS(0x800000c6u)
#define CSYS_E_FILE_OPEN CSYS_STATUS(0x800000e1u)
#define CSYS_E_FILE_IO CSYS_STATUS(0x800000e2u)

/* Every exported object type T has four empty functions whose addresses callers' macros take so
 * that the compiler checks argument types. */
#define CSYS_DECLARE_TYPE_CHECKS(T)                              \
  CSYS_API void csys_typeCheck_##T(const T* object);             \
  CSYS_API void csys_typeCheckPtr_##T(T* const* object);         \
  CSYS_API void csys_typeCheckFunc_##T(csys_status (*func)(T*)); \
  CSYS_API void csys_typeCheckFuncPtr_##T(csys_status (*const* func)(T*));

#endif /* CSYS_STATUS_H */
