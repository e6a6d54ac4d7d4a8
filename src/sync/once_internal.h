// The global mutex's teardown, registered with the shutdown registry when the mutex is made.
#pragma once

#include "csys_status.h"

// Destroys the global mutex for good: later requests for it fail.
csys_status csys_mutex_shutdownGlobal(void* context);
