// Any bytes as an object's name: refused with OS_ERROR_INVALID_PARAMETER, or one object, new on
// creation, found by open and by a second creation, refused to another type, gone when closed.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "os/os.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The name ends at the first zero byte, as a C string does.
  const std::string name(reinterpret_cast<const char*>(data), size);
  const char* text = name.c_str();
  os_handle mutex = os_createMutex(true, text);
  if (mutex == nullptr) {
    FUZZ_CHECK(os_getLastError() == OS_ERROR_INVALID_PARAMETER);
    FUZZ_CHECK(os_openMutex(text) == nullptr);
    return 0;
  }
  // An empty name makes an unnamed object, which nothing can find.
  const bool named = text[0] != '\0';
  FUZZ_CHECK(os_getLastError() == OS_ERROR_SUCCESS);
  os_handle again = os_createMutex(false, text);
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(os_getLastError() == (named ? OS_ERROR_ALREADY_EXISTS : OS_ERROR_SUCCESS));
  os_handle opened = os_openMutex(text);
  FUZZ_CHECK((opened != nullptr) == named);
  os_handle event = os_createEvent(true, false, text);
  FUZZ_CHECK((event == nullptr) == named);
  if (named) {
    FUZZ_CHECK(os_getLastError() == OS_ERROR_INVALID_HANDLE);
    FUZZ_CHECK(os_waitForSingleObject(opened, 0) == OS_WAIT_OBJECT_0);
    FUZZ_CHECK(os_releaseMutex(opened));
    FUZZ_CHECK(os_closeHandle(opened));
  } else {
    FUZZ_CHECK(os_closeHandle(event));
  }
  FUZZ_CHECK(os_releaseMutex(mutex));
  FUZZ_CHECK(os_closeHandle(mutex));
  FUZZ_CHECK(os_closeHandle(again));
  if (named) {
    FUZZ_CHECK(os_openMutex(text) == nullptr);
    FUZZ_CHECK(os_getLastError() == OS_ERROR_FILE_NOT_FOUND);
  }
  return 0;
}
