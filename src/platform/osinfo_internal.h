// How an answer of the OS's version query becomes the OS information record.
#pragma once

#include "csys_cpuinfo.h"
#include "os/os.h"

// Fills every field of *info from the answer.
void csys_osinfo_fromVersion(const os_versionInfo& version, csys_osinfo* info);
