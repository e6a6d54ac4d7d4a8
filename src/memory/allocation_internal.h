// The simulated out-of-memory threshold as failure-path sweeps use it.
#pragma once

// When set, the threshold refuses only the one request that reaches it and then turns itself
// off, so that a sweep can fail one allocation and let every later one succeed.
void csys_memory_setOutOfMemoryOnce(bool once);
