// The cleanup frame as the library's own operations use it: the five locals of a frame in one
// object. An operation opens a frame, registers each resource right after acquiring it, stores
// a failure when a call fails, and closes the frame on every exit path:
//
//   CleanupFrame<2> frame;
//   if (frame.call(csys_memory_alloc_internal(size, &copy))) {
//     frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &copy, csys_memory_free_internal);
//     frame.call(work(copy));
//   }
//   return frame.close();
#pragma once

#include "csys_cleanup.h"
#include "diag/check.h"

// Frames of the code beneath tag tracking (once-initialization, the shutdown registry) are
// untracked: tracking itself is built on that code, and logging their tags would recurse.
struct UntrackedFrame {};

template <int N>
class CleanupFrame {
 public:
  // Draws the frame's tag before anything else the operation does.
  CleanupFrame() : tag_(csys_cleanup_getNextTag()) {}
  explicit CleanupFrame(UntrackedFrame) : tag_(CSYS_CLEANUP_UNTRACKED_TAG) {}
  CleanupFrame(const CleanupFrame&) = delete;
  CleanupFrame& operator=(const CleanupFrame&) = delete;
  ~CleanupFrame() { CSYS_CHECK(count_ == -1); }  // every exit path must close

  // Records a failure (successes leave the status alone) and says whether the frame is still
  // succeeding.
  bool call(csys_status status) {
    if (CSYS_FAILED(status) && !CSYS_FAILED(status_)) status_ = status;
    return ok();
  }
  bool ok() const { return !CSYS_FAILED(status_); }

  // Registers a release; returns the entry's id. Kind VAR takes the address of a pointer
  // variable and a function of that variable.
  template <typename Func>
  uint32_t add(uint32_t flags, const void* object, Func func) {
    CSYS_CHECK(count_ >= 0 && count_ < N);
    if (nextId_ == 0xFFFFFFFFu) nextId_ = 0;
    const uint32_t id = nextId_++;
    if (count_ >= 0 && count_ < N) {
      // Stored under the generic type; the runner calls it with its kind's signature.
      entries_[count_++] =
          csys_cleanupEntry{id, flags, const_cast<void*>(object),
                            reinterpret_cast<csys_cleanupFunc>(reinterpret_cast<void (*)()>(func))};
    }
    return id;
  }

  // Runs the newest entry now (or drops it unrun when ownership moved elsewhere).
  void releaseNewest(bool run = true) {
    CSYS_CHECK(count_ >= 1 && count_ <= N);
    if (count_ >= 1) csys_cleanup_doId_(entries_, &count_, &status_, entries_[count_ - 1].id, run);
  }

  // Stores the operation's own failure and closes.
  csys_status fail(csys_status status) {
    call(status);
    return close();
  }

  csys_status close() {
    CSYS_CHECK(count_ >= 0 && count_ <= N);
    csys_cleanupExecute_(entries_, &count_, &status_, tag_);
    return status_;
  }

 private:
  csys_cleanupEntry entries_[N];
  int32_t count_ = 0;
  csys_status status_ = CSYS_OK;
  int32_t tag_;
  uint32_t nextId_ = 0;
};
