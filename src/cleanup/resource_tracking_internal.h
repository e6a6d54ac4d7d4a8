// Set-up and tear-down of resource leak tracking, for the global mutex's creator and the final
// shutdown stage.
#pragma once

#include "csys_status.h"

// Constructs the tracking lock and the table; reports logged before this are ignored.
csys_status csys_resourceTracking_init();
// Reports leaks (when asked to at shutdown), then frees the table and the lock for good.
csys_status csys_resourceTracking_shutdown();
