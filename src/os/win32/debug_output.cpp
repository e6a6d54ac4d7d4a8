#include <windows.h>

#include "os/os.h"

void os_writeDebugOutput(const char* text) {
  OutputDebugStringA(text);
}
