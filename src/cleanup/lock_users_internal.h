// The users of a tracker's lock, which the final shutdown stage destroys while other threads
// may be on their way into it (a thread ending at that moment still logs its frames and its
// objects). Each use is counted before the tracker's shut-down flag is read, and that flag
// changes only under the lock; so the stage, after setting the flag and leaving the lock, waits
// for the uses already counted, and every later use sees the flag and leaves the lock alone.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

class LockUsers {
 public:
  // A full read-modify-write before the flag is read, and another in the wait after the flag is
  // set: one of the two threads always sees the other's write.
  void arrive() { count_.fetch_add(1, std::memory_order_seq_cst); }
  void depart() { count_.fetch_sub(1, std::memory_order_release); }
  // After the flag is set: returns once no counted use is left. Uses are short (one table
  // update), so yielding is enough.
  void awaitDeparture() {
    while (count_.fetch_add(0, std::memory_order_seq_cst) != 0) os_yield();
  }

 private:
  std::atomic<int32_t> count_{0};
};
