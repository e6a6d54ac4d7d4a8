// The current thread, priorities on the library's eight levels, and affinity. Every operation
// acts on the calling thread's own block or on a record the caller holds a handle on; none
// takes a lock.
#include "diag/check.h"
#include "thread/thread_local_internal.h"
#include "thread/thread_record_internal.h"

namespace {

// Library level -> Windows priority; level 3 shares below-normal with level 2.
constexpr int32_t kWindowsPriority[8] = {-15, -2, -1, -1, 0, 1, 2, 15};

int32_t toWindows(int32_t level) {
  CSYS_CHECK(level >= 0 && level <= 7);
  return level >= 0 && level <= 7 ? kWindowsPriority[level] : 0;
}

int32_t toLevel(int32_t windows) {
  switch (windows) {
    case -15:
      return 0;
    case -2:
      return 1;
    case -1:
      return 2;
    case 0:
      return 4;
    case 1:
      return 5;
    case 2:
      return 6;
    case 15:
      return 7;
    default:
      CSYS_CHECK(false);
      return 7;
  }
}

csys_status currentBlock(csys_threadLocalBlock** block) {
  CSYS_RETURN_IF_FAILED(csys_threadLocal_getBlock(block, 1, nullptr));
  CSYS_CHECK(*block != nullptr);
  return *block != nullptr ? CSYS_OK : CSYS_E_NO_THREAD_RECORD;
}

}  // namespace

csys_status csys_thread_getCurrentRecord(csys_threadRecord** record) {
  CSYS_CHECK(record != nullptr);
  if (record == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *record = nullptr;
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(currentBlock(&block));
  CSYS_RETURN_IF_FAILED(csys_thread_getRecord(&block->thread, record));
  CSYS_CHECK(*record != nullptr);
  return *record != nullptr ? CSYS_OK : CSYS_E_NO_THREAD_RECORD;
}

csys_status csys_thread_getOSPriority(const csys_thread* thread, int32_t* priority) {
  if (priority == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  const int32_t value = os_getThreadPriority(csys_thread_loadOSHandle(record));
  CSYS_CHECK(value != OS_THREAD_PRIORITY_ERROR_RETURN);
  if (value == OS_THREAD_PRIORITY_ERROR_RETURN) return CSYS_E_FAIL;
  *priority = value;
  return CSYS_OK;
}

csys_status csys_thread_setOSPriority(const csys_thread* thread, int32_t priority) {
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  return os_setThreadPriority(csys_thread_loadOSHandle(record), priority) ? CSYS_OK : CSYS_E_OS;
}

extern "C" {

CSYS_API csys_status csys_thread_constructCurrent(csys_thread* thread) {
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(currentBlock(&block));
  return csys_thread_constructCopy(thread, &block->thread);
}

CSYS_API csys_status csys_thread_getCurrentThread(csys_thread* thread) {
  CSYS_CHECK(thread != nullptr);
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(currentBlock(&block));
  return csys_thread_assign(thread, &block->thread);
}

CSYS_API csys_status csys_thread_getCurrentThreadOSIdentifier(uint32_t* id) {
  if (id == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_getCurrentRecord(&record));
  // A new thread may ask before its creator has stored the id: the system knows it already.
  const uint32_t stored = csys_thread_loadOSThreadId(record);
  *id = stored != CSYS_THREAD_ID_UNKNOWN ? stored : os_getCurrentThreadId();
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_getCurrentThreadName(const char** name) {
  if (name == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_thread current{};
  CSYS_RETURN_IF_FAILED(csys_thread_constructCurrent(&current));
  csys_threadRecord* record = nullptr;
  const csys_status found = csys_thread_requireRecord(&current, &record);
  if (CSYS_SUCCEEDED(found)) *name = record->params.name;
  return csys_firstFailure(found, csys_thread_destruct(&current));
}

CSYS_API csys_status csys_thread_getPriority(const csys_thread* thread, int32_t* priority) {
  int32_t windows = 0;
  CSYS_RETURN_IF_FAILED(csys_thread_getOSPriority(thread, &windows));
  *priority = toLevel(windows);
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_setPriority(const csys_thread* thread, int32_t priority) {
  return csys_thread_setOSPriority(thread, toWindows(priority));
}

CSYS_API csys_status csys_thread_getCurrentPriority(int32_t* priority) {
  if (priority == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *priority = toLevel(os_getCurrentThreadPriority());
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_setCurrentPriority(int32_t priority) {
  return os_setCurrentThreadPriority(toWindows(priority)) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status csys_thread_setAffinity(const csys_thread* thread, uint32_t mask) {
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  return os_setThreadAffinityMask(csys_thread_loadOSHandle(record), mask) != 0 ? CSYS_OK
                                                                               : CSYS_E_FAIL;
}

}  // extern "C"
