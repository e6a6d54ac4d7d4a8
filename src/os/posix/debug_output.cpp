#include "os/os.h"

// There is no debugger output channel here: standard error already has the text.
void os_writeDebugOutput(const char* /*text*/) {}
