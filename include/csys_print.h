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

/* The stream all library text goes to; null restores standard output. The stream stays the
 * caller's: the library never closes it. */
CSYS_API csys_status csys_printfSetOutput(FILE* stream);
/* The current stream (standard output unless set). Null stream: CSYS_E_INVALID_ARGUMENT. */
CSYS_API csys_status csys_printfGetOutput(FILE** stream);
/* Both hooks null. */
CSYS_API csys_status csys_printfAHooks_init(csys_printfAHooks* hooks);
/* Installs a copy of *hooks for every later csys_printfA; null removes both. */
CSYS_API csys_status csys_printfASetHooks(const csys_printfAHooks* hooks);
/* Formats to the output stream through the print hook, then flushes through the flush hook.
 * A null format is CSYS_E_INVALID_ARGUMENT. */
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
CSYS_API csys_status
csys_printfA(const char* format, ...);

/* The diagnostic stream: a function that receives formatted text; null (the start) discards it. */
typedef int (*cfDiagStreamFunc)(const char* text);
CSYS_API void cfSetDiagStream(cfDiagStreamFunc func);
/* Formats (cut at 1023 characters) and hands the text to the diagnostic stream, if any. */
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
CSYS_API void
cfDiagPrint2(intptr_t unused, const char* format, ...);

/* System-log hooks: the host installs two functions; null ones make the events no-ops (0). */
typedef csys_status (*csys_log_systemEventFunc)(uint32_t proxyId, uint32_t eventId,
                                                uintptr_t eventData);
CSYS_API csys_status csys_log_installSystemLog(csys_log_systemEventFunc eventFunc,
                                               csys_log_systemEventFunc proxyEventFunc);
/* Calls the event hook with proxy id 0 and returns its status. */
CSYS_API csys_status csys_log_addSystemEvent(uint32_t eventId, uintptr_t eventData);
/* Calls the proxy-event hook and returns its status. */
CSYS_API csys_status csys_log_addSystemEventProxyID(uint32_t proxyId, uint32_t eventId,
                                                    uintptr_t eventData);

/* A process-wide nesting level that increments and decrements must alternate on (0, 1, 0 ...).
 * With `check` set, a call out of turn prints where this and the last calls came from and
 * asserts. Always 0; use the macros below, which pass the caller's file and line. */
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
