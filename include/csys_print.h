/* The replaceable print output, the diagnostic stream, system-log hooks and status counters. */
#ifndef CSYS_PRINT_H
#define CSYS_PRINT_H

#include <stdarg.h>
#include <stdio.h>

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

typedef int (*csys_printfAFlushHookFunc)(FILE* stream);
typedef int (*csys_printfAPrintHookFunc)(FILE* stream, const char* format, va_list args);

/* Replacement steps of csys_printfA; a null field keeps the runtime's fflush / vfprintf. */
typedef struct csys_printfAHooks {
  csys_printfAFlushHookFunc flushHook;
  csys_printfAPrintHookFunc printHook;
} csys_printfAHooks;

CSYS_API csys_status csys_printfSetOutput(FILE* stream);
CSYS_API csys_status csys_printfGetOutput(FILE** stream);
CSYS_API csys_status csys_printfAHooks_init(csys_printfAHooks* hooks);
CSYS_API csys_status csys_printfASetHooks(const csys_printfAHooks* hooks);
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
CSYS_API csys_status
csys_printfA(const char* format, ...);

typedef int (*cfDiagStreamFunc)(const char* text);
CSYS_API void cfSetDiagStream(cfDiagStreamFunc func);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
CSYS_API void
cfDiagPrint2(intptr_t unused, const char* format, ...);

typedef csys_status (*csys_log_systemEventFunc)(uint32_t proxyId, uint32_t eventId,
                                                uintptr_t eventData);
CSYS_API csys_status csys_log_installSystemLog(csys_log_systemEventFunc eventFunc,
                                               csys_log_systemEventFunc proxyEventFunc);
CSYS_API csys_status csys_log_addSystemEvent(uint32_t eventId, uintptr_t eventData);
CSYS_API csys_status csys_log_addSystemEventProxyID(uint32_t proxyId, uint32_t eventId,
                                                    uintptr_t eventData);

CSYS_API csys_status csys_status_incrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check);
CSYS_API csys_status csys_status_decrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check);

CSYS_EXTERN_C_END

#define csys_status_incrementCount(check) \
  csys_status_incrementCount_internal(__FILE__, (uint32_t)__LINE__, (check))
#define csys_status_decrementCount(check) \
  csys_status_decrementCount_internal(__FILE__, (uint32_t)__LINE__, (check))

#endif /* CSYS_PRINT_H */
