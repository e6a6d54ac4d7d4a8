// Rep pointer handles: counts in the header, one destroy in the thread that releases the last
// reference, the header left alone once destroy runs, and a failing destroy.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "csys_memory.h"
#include "qzsf_rep.h"

namespace {

constexpr csys_status kFailure = CSYS_STATUS(0x80000777u);

// The header first, as in the library's thread record.
struct Record {
  qzsfRepBase rep;
  int64_t total;
};

struct DestroyLog {
  std::atomic<int> calls{0};
  void** argument = nullptr;
  void* obj = nullptr;
  int64_t total = 0;
  std::thread::id thread;
  bool fail = false;
} g_log;

csys_status destroyRecord(void** obj) {
  ++g_log.calls;
  g_log.argument = obj;
  g_log.obj = *obj;
  g_log.total = static_cast<Record*>(*obj)->total;
  g_log.thread = std::this_thread::get_id();
  return g_log.fail ? kFailure : csys_memory_free(obj);
}

Record* newRecord() {
  Record* record = nullptr;
  EXPECT_EQ(csys_memory_alloc(sizeof(Record), &record), CSYS_OK);
  *record = {{destroyRecord, 0, record}, 0};
  return record;
}

uint32_t count(const Record* record) {
  uint32_t value = 99;
  EXPECT_EQ(qzsfRepBase_ReferenceCountGet(&record->rep, &value), CSYS_OK);
  return value;
}

TEST(RepHandle, CountsFollowHandlesAndTheLastReleaseDestroysOnce) {
  g_log.calls = 0;
  Record* record = newRecord();
  qzsfPtrHandle first{};
  qzsfPtrHandle second{};
  ASSERT_EQ(qzsfPtrHandle_Construct(&first, &record->rep), CSYS_OK);
  EXPECT_EQ(count(record), 1u);
  ASSERT_EQ(qzsfPtrHandle_ConstructCopy(&second, &first), CSYS_OK);
  EXPECT_EQ(count(record), 2u);
  EXPECT_EQ(qzsfPtrHandle_Assign(&second, &second), CSYS_OK);
  EXPECT_EQ(count(record), 2u);
  void* obj = nullptr;
  EXPECT_EQ(qzsfPtrHandle_RepObjGet(&second, &obj), CSYS_OK);
  EXPECT_EQ(obj, record);

  // Not the last: no destroy, and the handle keeps its no longer counted pointer.
  EXPECT_EQ(qzsfPtrHandle_Destruct(&first), CSYS_OK);
  EXPECT_EQ(count(record), 1u);
  EXPECT_EQ(first.rep, &record->rep);
  EXPECT_EQ(g_log.calls, 0);
  void** const objField = &record->rep.obj;
  EXPECT_EQ(qzsfPtrHandle_Destruct(&second), CSYS_OK);
  EXPECT_EQ(g_log.calls, 1);
  EXPECT_EQ(g_log.obj, record);
  EXPECT_NE(g_log.argument, objField);  // a copy: destroy may free the header
  EXPECT_EQ(second.rep, nullptr);
}

TEST(RepHandle, EmptyHandlesAndAssignment) {
  g_log.calls = 0;
  Record* a = newRecord();
  Record* b = newRecord();
  qzsfPtrHandle onA{&b->rep};  // earlier content that Construct does not look at
  qzsfPtrHandle onB{};
  ASSERT_EQ(qzsfPtrHandle_Construct(&onA, &a->rep), CSYS_OK);
  ASSERT_EQ(qzsfPtrHandle_Construct(&onB, &b->rep), CSYS_OK);
  qzsfPtrHandle empty{&b->rep};
  ASSERT_EQ(qzsfPtrHandle_Construct(&empty, nullptr), CSYS_OK);
  uint32_t isNull = 0;
  void* obj = a;
  EXPECT_EQ(qzsfPtrHandle_IsNullGet(&empty, &isNull), CSYS_OK);
  EXPECT_EQ(isNull, 1u);
  EXPECT_EQ(qzsfPtrHandle_RepObjGet(&empty, &obj), CSYS_OK);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(qzsfPtrHandle_Destruct(&empty), CSYS_OK);
  EXPECT_EQ(qzsfPtrHandle_Destruct(nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(qzsfPtrHandle_ConstructCopy(&empty, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(count(b), 1u);

  qzsfPtrHandle moving{};
  ASSERT_EQ(qzsfPtrHandle_ConstructCopy(&moving, &onA), CSYS_OK);
  EXPECT_EQ(qzsfPtrHandle_Assign(&moving, &onB), CSYS_OK);
  EXPECT_EQ(count(a), 1u);
  EXPECT_EQ(count(b), 2u);
  EXPECT_EQ(qzsfPtrHandle_Assign(&onA, &empty), CSYS_OK);  // the last reference on a
  EXPECT_EQ(onA.rep, nullptr);
  EXPECT_EQ(g_log.calls, 1);
  EXPECT_EQ(g_log.obj, a);

  // A failing destroy is returned, and the handle is emptied all the same.
  g_log.fail = true;
  EXPECT_EQ(qzsfPtrHandle_Destruct(&onB), CSYS_OK);
  EXPECT_EQ(qzsfPtrHandle_Assign(&moving, &empty), kFailure);
  EXPECT_EQ(moving.rep, nullptr);
  EXPECT_EQ(g_log.calls, 2);
  g_log.fail = false;
  csys_memory_free(&b);
}

// Threads copy and release handles on one record at once: destroy must run exactly once, after
// every other reference is gone (it reads what they wrote), in the thread releasing the last.
TEST(RepHandle, ConcurrentCopiesAndReleasesDestroyExactlyOnce) {
  constexpr int kThreads = 4;
  constexpr int kCopies = 2000;
  for (int round = 0; round < 20; ++round) {
    g_log.calls = 0;
    Record* record = newRecord();
    qzsfPtrHandle root{};
    ASSERT_EQ(qzsfPtrHandle_Construct(&root, &record->rep), CSYS_OK);
    std::vector<qzsfPtrHandle> own(kThreads);
    for (auto& handle : own) ASSERT_EQ(qzsfPtrHandle_ConstructCopy(&handle, &root), CSYS_OK);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (auto& handle : own) {
      threads.emplace_back([&, mine = &handle] {
        ++ready;
        while (ready.load() <= kThreads) std::this_thread::yield();
        for (int i = 0; i < kCopies; ++i) {
          qzsfPtrHandle copy{};
          ASSERT_EQ(qzsfPtrHandle_ConstructCopy(&copy, mine), CSYS_OK);
          void* obj = nullptr;
          ASSERT_EQ(qzsfPtrHandle_RepObjGet(&copy, &obj), CSYS_OK);
          std::atomic_ref<int64_t>(static_cast<Record*>(obj)->total).fetch_add(1);
          ASSERT_EQ(qzsfPtrHandle_Destruct(&copy), CSYS_OK);
        }
        ASSERT_EQ(qzsfPtrHandle_Destruct(mine), CSYS_OK);
      });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    ASSERT_EQ(qzsfPtrHandle_Destruct(&root), CSYS_OK);
    ++ready;
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(g_log.calls.load(), 1);
    EXPECT_EQ(g_log.total, int64_t{kThreads} * kCopies);
    EXPECT_NE(g_log.thread, std::this_thread::get_id());
  }
}

}  // namespace
