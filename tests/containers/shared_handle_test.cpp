// Shared blocks and pointer handles: counts follow the handles, one release in the thread that
// drops the last reference, the failure rules of custom tables, broken invariants, and const
// handles giving the plain handles' results.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "cstd_shared.h"
#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

constexpr csys_status kFailure = CSYS_STATUS(0x80000777u);
constexpr uintptr_t kContext = 0x5eed;

// A table that counts its calls and fails on request; its release frees through the default.
struct TableLog {
  int increments = 0;
  int decrements = 0;
  int releases = 0;
  void** releasedField = nullptr;
  uintptr_t releasedContext = 0;
  bool failIncrement = false;
  bool failDecrement = false;
  bool failRelease = false;
} g_log;

csys_status logIncrement(int32_t* count, int32_t* newCount, void* whole, uintptr_t context) {
  ++g_log.increments;
  return g_log.failIncrement ? kFailure
                             : cstd_shared_increment_default(count, newCount, whole, context);
}
csys_status logDecrement(int32_t* count, int32_t* newCount, void* whole, uintptr_t context) {
  ++g_log.decrements;
  return g_log.failDecrement ? kFailure
                             : cstd_shared_decrement_default(count, newCount, whole, context);
}
csys_status logRelease(void** wholeField, uintptr_t context) {
  ++g_log.releases;
  g_log.releasedField = wholeField;
  g_log.releasedContext = context;
  return g_log.failRelease ? kFailure : cstd_shared_release_default(wholeField, context);
}
constexpr cstd_shared_vtable kLogTable{logRelease, logIncrement, logDecrement};

// The block not first, so that whole and block differ.
struct Widget {
  int64_t payload;
  cstd_shared shared;
};

Widget* newWidget() {
  Widget* widget = nullptr;
  EXPECT_EQ(csys_memory_alloc(sizeof(Widget), &widget), CSYS_OK);
  const cstd_shared_initParams params{kContext, nullptr, &kLogTable};
  EXPECT_EQ(cstd_shared_initCustom(&widget->shared, widget, &params), CSYS_OK);
  return widget;
}

int32_t refCount(const cstd_ptrh& handle) {
  int32_t count = -99;
  EXPECT_EQ(cstd_ptrh_getRefCount(&handle, &count), CSYS_OK);
  return count;
}

TEST(SharedBlock, InitStartsUnownedAndCountsWhereItIsTold) {
  EXPECT_EQ(cstd_shared_vtable_default->release, cstd_shared_release_default);
  EXPECT_EQ(cstd_shared_vtable_default->decrement, cstd_shared_decrement_default);
  Widget widget{};
  ASSERT_EQ(cstd_shared_init(&widget.shared, &widget), CSYS_OK);
  EXPECT_EQ(widget.shared.ops, cstd_shared_vtable_default);
  EXPECT_EQ(widget.shared.count, &widget.shared.ownCount);
  EXPECT_EQ(widget.shared.ownCount, 0);
  EXPECT_EQ(cstd_shared_init(&widget.shared, nullptr), CSYS_E_INVALID_ARGUMENT);

  int32_t external = 42;
  const cstd_shared_initParams params{kContext, &external, &kLogTable};
  ASSERT_EQ(cstd_shared_initCustom(&widget.shared, &widget, &params), CSYS_OK);
  EXPECT_EQ(external, 0);
  EXPECT_EQ(widget.shared.count, &external);
  EXPECT_EQ(widget.shared.ownCount, -1);
  EXPECT_EQ(widget.shared.context, kContext);
  cstd_ptrh handle{};
  ASSERT_EQ(cstd_ptrh_construct(&handle, &widget.shared), CSYS_OK);
  EXPECT_EQ(external, 1);
}

TEST(SharedBlock, DefaultReleaseFreesTheWholeAndLeavesTheField) {
  cstd_shared block{};  // outside its whole, so the field can be read afterwards
  void* whole = nullptr;
  ASSERT_EQ(csys_memory_alloc(64, &whole), CSYS_OK);
  ASSERT_EQ(cstd_shared_init(&block, whole), CSYS_OK);
  cstd_ptrh handle{};
  ASSERT_EQ(cstd_ptrh_construct(&handle, &block), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_destruct(&handle), CSYS_OK);  // a leak on the sanitizer leg otherwise
  EXPECT_EQ(block.whole, whole);
}

TEST(Ptrh, CountsFollowHandlesAndTheLastDropReleasesOnce) {
  g_log = {};
  Widget* widget = newWidget();
  void** const wholeField = &widget->shared.whole;
  cstd_ptrh first{};
  cstd_ptrh second{};
  ASSERT_EQ(cstd_ptrh_construct(&first, &widget->shared), CSYS_OK);
  EXPECT_EQ(refCount(first), 1);
  ASSERT_EQ(cstd_ptrh_constructCopy(&second, &first), CSYS_OK);
  EXPECT_EQ(refCount(second), 2);
  void* whole = nullptr;
  EXPECT_EQ(cstd_ptrh_getWholeShared(&second, &whole), CSYS_OK);
  EXPECT_EQ(whole, widget);

  EXPECT_EQ(cstd_ptrh_destruct(&first), CSYS_OK);
  EXPECT_EQ(refCount(second), 1);
  EXPECT_EQ(g_log.releases, 0);
  EXPECT_EQ(cstd_ptrh_detach(&second), CSYS_OK);
  EXPECT_EQ(second.shared, nullptr);
  EXPECT_EQ(g_log.releases, 1);
  EXPECT_EQ(g_log.releasedField, wholeField);
  EXPECT_EQ(g_log.releasedContext, kContext);
}

TEST(Ptrh, AssignmentMovesReferencesAndEmptyHandlesDoNothing) {
  g_log = {};
  Widget* a = newWidget();
  Widget* b = newWidget();
  cstd_ptrh onA{};
  cstd_ptrh onB{};
  cstd_ptrh moving{};
  ASSERT_EQ(cstd_ptrh_construct(&onA, &a->shared), CSYS_OK);
  ASSERT_EQ(cstd_ptrh_construct(&onB, &b->shared), CSYS_OK);
  ASSERT_EQ(cstd_ptrh_constructCopy(&moving, &onA), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_assignShared(&moving, &a->shared), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_assign(&moving, &moving), CSYS_OK);
  EXPECT_EQ(g_log.increments + g_log.decrements, 3);  // neither changed a count

  EXPECT_EQ(cstd_ptrh_assign(&moving, &onB), CSYS_OK);
  EXPECT_EQ(refCount(onA), 1);
  EXPECT_EQ(refCount(onB), 2);
  EXPECT_EQ(cstd_ptrh_assignShared(&onA, nullptr), CSYS_OK);  // the only reference
  EXPECT_EQ(onA.shared, nullptr);
  EXPECT_EQ(g_log.releases, 1);

  int32_t isNull = 0;
  EXPECT_EQ(cstd_ptrh_getIsNull(&onA, &isNull), CSYS_OK);
  EXPECT_EQ(isNull, 1);
  EXPECT_EQ(refCount(onA), 0);
  void* whole = b;
  EXPECT_EQ(cstd_ptrh_getWholeShared(&onA, &whole), CSYS_OK);
  EXPECT_EQ(whole, nullptr);
  EXPECT_EQ(cstd_ptrh_destruct(&onA), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_destruct(nullptr), CSYS_E_INVALID_ARGUMENT);
  cstd_ptrh fresh{&b->shared};  // unconstructed: emptied without a drop, then the source checked
  EXPECT_EQ(cstd_ptrh_constructCopy(&fresh, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(fresh.shared, nullptr);
  EXPECT_EQ(cstd_ptrh_assign(&moving, &fresh), CSYS_OK);
  EXPECT_EQ(refCount(onB), 1);
  {
    pmtsys_test::AssertCapture asserts;
    EXPECT_EQ(cstd_ptrh_detach(nullptr), CSYS_OK);
    EXPECT_EQ(asserts.count(), 1u);
  }
  EXPECT_EQ(cstd_ptrh_destruct(&onB), CSYS_OK);
  EXPECT_EQ(g_log.releases, 2);
}

TEST(Ptrh, FailingOperationsOfACustomTable) {
  g_log = {};
  Widget* a = newWidget();
  Widget* b = newWidget();
  cstd_ptrh onA{};
  cstd_ptrh copy{};
  g_log.failIncrement = true;  // the handle holds the block, uncounted
  EXPECT_EQ(cstd_ptrh_construct(&onA, &a->shared), kFailure);
  EXPECT_EQ(onA.shared, &a->shared);
  EXPECT_EQ(refCount(onA), 0);
  g_log.failIncrement = false;
  ASSERT_EQ(cstd_ptrh_construct(&onA, &a->shared), CSYS_OK);
  ASSERT_EQ(cstd_ptrh_constructCopy(&copy, &onA), CSYS_OK);

  g_log.failDecrement = true;  // assignShared keeps the old block, destruct empties anyway
  EXPECT_EQ(cstd_ptrh_assignShared(&copy, &b->shared), kFailure);
  EXPECT_EQ(copy.shared, &a->shared);
  EXPECT_EQ(cstd_ptrh_destruct(&copy), kFailure);
  EXPECT_EQ(copy.shared, nullptr);
  EXPECT_EQ(refCount(onA), 2);
  g_log.failDecrement = false;
  a->shared.ownCount = 1;  // forget the reference the failed drop left behind

  g_log.failRelease = true;  // returned; assignShared keeps the dead block, destruct empties
  EXPECT_EQ(cstd_ptrh_assignShared(&onA, &b->shared), kFailure);
  EXPECT_EQ(onA.shared, &a->shared);
  EXPECT_EQ(g_log.releases, 1);
  cstd_ptrh onB{};
  ASSERT_EQ(cstd_ptrh_construct(&onB, &b->shared), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_destruct(&onB), kFailure);
  EXPECT_EQ(onB.shared, nullptr);
  EXPECT_EQ(g_log.releases, 2);
  csys_memory_free(&a);
  csys_memory_free(&b);
}

TEST(Ptrh, BrokenInvariantsAreReportedAndTheCallerGoesOn) {
  g_log = {};
  pmtsys_test::AssertCapture asserts;
  Widget widget{};
  const cstd_shared_initParams params{kContext, nullptr, &kLogTable};
  ASSERT_EQ(cstd_shared_initCustom(&widget.shared, &widget, &params), CSYS_OK);
  cstd_ptrh handle{};
  const cstd_shared_vtable noCounting{logRelease, nullptr, nullptr};
  widget.shared.ops = &noCounting;  // a missing operation is not called
  EXPECT_EQ(cstd_ptrh_construct(&handle, &widget.shared), CSYS_OK);
  EXPECT_EQ(asserts.count(), 1u);

  widget.shared.ops = &kLogTable;  // negative count, missing whole: reported, still counted
  widget.shared.ownCount = -5;
  widget.shared.whole = nullptr;
  EXPECT_EQ(cstd_ptrh_assignShared(&handle, nullptr), CSYS_OK);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(widget.shared.ownCount, -6);

  // A decrement that claims 0 while the count is not: the release is reported, and runs.
  const cstd_shared_vtable lying{logRelease, logIncrement,
                                 [](int32_t*, int32_t* newCount, void*, uintptr_t) {
                                   *newCount = 0;
                                   return CSYS_OK;
                                 }};
  widget.shared = {&lying, &widget, kContext, &widget.shared.ownCount, 0};
  ASSERT_EQ(cstd_ptrh_construct(&handle, &widget.shared), CSYS_OK);
  g_log.failRelease = true;  // the widget is not on the heap
  EXPECT_EQ(cstd_ptrh_destruct(&handle), kFailure);
  EXPECT_EQ(asserts.count(), 4u);
  EXPECT_EQ(g_log.releases, 1);
}

// As the library's own users build it: a lock inside the object, torn down by its release.
// Threads copy and drop handles at once; the release must run once, after every other handle is
// gone (it reads what they wrote), in the thread that dropped the last reference.
struct Guarded {
  cstd_shared shared;
  std::mutex lock;
  int64_t total;
};
std::atomic<int> g_guardedReleases{0};
int64_t g_releasedTotal = 0;
std::thread::id g_releasingThread;

csys_status releaseGuarded(void** wholeField, uintptr_t /*context*/) {
  Guarded* guarded = static_cast<Guarded*>(*wholeField);
  ++g_guardedReleases;
  g_releasedTotal = guarded->total;
  g_releasingThread = std::this_thread::get_id();
  guarded->lock.~mutex();
  return csys_memory_free(&guarded);
}
constexpr cstd_shared_vtable kGuardedTable{releaseGuarded, cstd_shared_increment_default,
                                           cstd_shared_decrement_default};

TEST(PtrhThreads, ConcurrentCopiesAndDropsReleaseExactlyOnce) {
  constexpr int kThreads = 4;
  constexpr int kCopies = 2000;
  for (int round = 0; round < 20; ++round) {
    void* block = nullptr;
    ASSERT_EQ(csys_memory_alloc(sizeof(Guarded), &block), CSYS_OK);
    Guarded* guarded = new (block) Guarded{};
    const cstd_shared_initParams params{0, nullptr, &kGuardedTable};
    ASSERT_EQ(cstd_shared_initCustom(&guarded->shared, guarded, &params), CSYS_OK);
    g_guardedReleases = 0;
    cstd_ptrh root{};
    ASSERT_EQ(cstd_ptrh_construct(&root, &guarded->shared), CSYS_OK);
    std::vector<cstd_ptrh> own(kThreads);
    for (auto& handle : own) ASSERT_EQ(cstd_ptrh_constructCopy(&handle, &root), CSYS_OK);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (auto& handle : own) {
      threads.emplace_back([&, mine = &handle] {
        ++ready;
        while (ready.load() <= kThreads) std::this_thread::yield();
        for (int i = 0; i < kCopies; ++i) {
          cstd_ptrh copy{};
          ASSERT_EQ(cstd_ptrh_constructCopy(&copy, mine), CSYS_OK);
          void* whole = nullptr;
          ASSERT_EQ(cstd_ptrh_getWholeShared(&copy, &whole), CSYS_OK);
          Guarded* object = static_cast<Guarded*>(whole);
          std::lock_guard<std::mutex> hold(object->lock);
          ++object->total;
          ASSERT_EQ(cstd_ptrh_destruct(&copy), CSYS_OK);  // under the lock: not the last
        }
        ASSERT_EQ(cstd_ptrh_destruct(mine), CSYS_OK);
      });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    ASSERT_EQ(cstd_ptrh_destruct(&root), CSYS_OK);  // the workers now hold every reference
    ++ready;
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(g_guardedReleases.load(), 1);
    EXPECT_EQ(g_releasedTotal, int64_t{kThreads} * kCopies);
    EXPECT_NE(g_releasingThread, std::this_thread::get_id());
  }
}

TEST(PtrhConst, GivesThePlainHandlesResults) {
  g_log = {};
  Widget* a = newWidget();
  cstd_ptrh plain{};
  ASSERT_EQ(cstd_ptrh_construct(&plain, &a->shared), CSYS_OK);
  cstd_ptrhConst first{};
  cstd_ptrhConst second{};
  ASSERT_EQ(cstd_ptrhConst_constructConstCopy(&first, &plain), CSYS_OK);
  ASSERT_EQ(cstd_ptrhConst_constructCopy(&second, &first), CSYS_OK);
  EXPECT_EQ(cstd_ptrhConst_assign(&second, &second), CSYS_OK);
  EXPECT_EQ(cstd_ptrhConst_assignConst(&second, &plain), CSYS_OK);
  int32_t count = 0;
  EXPECT_EQ(cstd_ptrhConst_getRefCount(&second, &count), CSYS_OK);
  EXPECT_EQ(count, 3);
  const void* whole = nullptr;
  EXPECT_EQ(cstd_ptrhConst_getWholeShared(&second, &whole), CSYS_OK);
  EXPECT_EQ(whole, a);
  EXPECT_EQ(cstd_ptrhConst_getWholeShared(nullptr, &whole), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(whole, a);

  EXPECT_EQ(cstd_ptrh_destruct(&plain), CSYS_OK);
  EXPECT_EQ(cstd_ptrhConst_assignShared(&first, nullptr), CSYS_OK);
  EXPECT_EQ(first.shared, nullptr);
  EXPECT_EQ(cstd_ptrhConst_detach(&second), CSYS_OK);
  EXPECT_EQ(second.shared, nullptr);
  EXPECT_EQ(g_log.releases, 1);

  Widget* b = newWidget();
  g_log.failIncrement = true;
  EXPECT_EQ(cstd_ptrhConst_construct(&first, &b->shared), kFailure);
  EXPECT_EQ(first.shared, &b->shared);
  EXPECT_EQ(cstd_ptrhConst_destruct(nullptr), CSYS_E_INVALID_ARGUMENT);
  csys_memory_free(&b);
}

}  // namespace
