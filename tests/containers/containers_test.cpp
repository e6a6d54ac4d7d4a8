// Containers: handle states of both reference-counting schemes under failing operations and
// broken invariants; vector growth and refusals (scripts against a model are the fuzz target's).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>

#include "cstd_shared.h"
#include "cstd_vector_csys_thread.h"
#include "fuzz/vector_script.h"
#include "qzsf_rep.h"
#include "support/fault_loop.h"
#include "support/report_capture.h"
#include "thread/thread_record_internal.h"

namespace {

constexpr csys_status kFailure = CSYS_STATUS(0x80000777u);

struct Log {
  bool failIncrement, failDecrement, failFree;
  int frees;
} g_log;

// Both headers, the rep one first as that scheme requires; the shared block counts in `count`.
struct Object {
  qzsfRepBase rep;
  int32_t count;
  cstd_shared shared;
};

// The rep destroy frees through (and nulls) the variable it is given: a copy, not the header's
// field. The shared release must not write through the block's field, so it frees a copy.
csys_status freeObject(void** obj) {
  return ++g_log.frees, g_log.failFree ? kFailure : csys_memory_free(obj);
}
template <bool Log::*fail, cstd_shared_countFunc change>
csys_status countOrFail(int32_t* count, int32_t* newCount, void* whole, uintptr_t context) {
  return g_log.*fail ? kFailure : change(count, newCount, whole, context);
}
constexpr cstd_shared_vtable kTable{
    [](void** field, uintptr_t) {
      void* whole = *field;
      return freeObject(&whole);
    },
    countOrFail<&Log::failIncrement, cstd_shared_increment_default>,
    countOrFail<&Log::failDecrement, cstd_shared_decrement_default>};

Object* newObject() {
  Object* object = nullptr;
  EXPECT_EQ(csys_memory_alloc(sizeof(Object), &object), CSYS_OK);
  *object = {{freeObject, 0, object}, 42, {}};
  const cstd_shared_initParams params{0, &object->count, &kTable};
  EXPECT_EQ(cstd_shared_initCustom(&object->shared, object, &params), CSYS_OK);
  g_log = {};
  return object;
}

template <typename Handle, typename Header>
struct Scheme {
  Header Object::*header;
  csys_status (*construct)(Handle*, Header*);
  csys_status (*copy)(Handle*, const Handle*);
  csys_status (*assign)(Handle*, const Handle*);
  csys_status (*drop)(Handle*);
  csys_status (*whole)(const Handle*, void**);
  int (*count)(const Object*);
  const char* name;
};

// Stale handles, never constructed: construct ignores what they held, and the copy constructor
// empties them without a drop.
template <typename Handle, typename Header>
void countsBoundariesAndAFailingFree(const Scheme<Handle, Header>& s) {
  SCOPED_TRACE(s.name);
  Object* b = newObject();
  Object* a = newObject();
  Handle onA{&(b->*s.header)}, onB{}, moving{&(a->*s.header)};
  ASSERT_EQ(s.construct(&onA, &(a->*s.header)), CSYS_OK);
  void* whole = a;
  for (const csys_status status :
       {s.construct(nullptr, &(a->*s.header)), s.copy(&moving, nullptr), s.assign(&onA, nullptr),
        s.drop(nullptr), s.whole(nullptr, &whole)}) {
    EXPECT_EQ(status, CSYS_E_INVALID_ARGUMENT);
  }
  EXPECT_EQ(whole, a);
  EXPECT_EQ(s.assign(&onA, &onA), CSYS_OK);  // the only reference: not dropped
  ASSERT_EQ(s.copy(&moving, &onA), CSYS_OK);
  ASSERT_EQ(s.construct(&onB, &(b->*s.header)), CSYS_OK);
  EXPECT_EQ(s.assign(&moving, &onB), CSYS_OK);
  EXPECT_EQ(std::pair(s.count(a), s.count(b)), std::pair(1, 2));
  EXPECT_EQ(s.drop(&onA), CSYS_OK);  // the last reference on a
  EXPECT_EQ((std::pair{s.drop(&onB), g_log.frees}), std::pair(CSYS_OK, 1));
  g_log.failFree = true;  // returned, and the handle emptied all the same
  EXPECT_EQ(s.drop(&moving), kFailure);
  EXPECT_EQ(s.whole(&moving, &whole), CSYS_OK);  // empty: no whole, and drops nothing
  EXPECT_EQ(s.drop(&moving), CSYS_OK);
  EXPECT_EQ(std::pair(whole, g_log.frees), (std::pair<void*, int>(nullptr, 2)));
  csys_memory_free(&b);
}

TEST(SharedAndRep, CountsBoundariesAndAFailingFree) {
  countsBoundariesAndAFailingFree<cstd_ptrh, cstd_shared>(
      {&Object::shared, cstd_ptrh_construct, cstd_ptrh_constructCopy, cstd_ptrh_assign,
       cstd_ptrh_destruct, cstd_ptrh_getWholeShared, [](const Object* o) { return o->count; },
       "shared"});
  countsBoundariesAndAFailingFree<qzsfPtrHandle, qzsfRepBase>(
      {&Object::rep, qzsfPtrHandle_Construct, qzsfPtrHandle_ConstructCopy, qzsfPtrHandle_Assign,
       qzsfPtrHandle_Destruct, qzsfPtrHandle_RepObjGet,
       [](const Object* o) { return int(o->rep.referenceCount); }, "rep"});
}

// Failing custom table operations: an increment leaves the handle holding the block uncounted; a
// decrement or release leaves assignShared's handle on the old block, and destruct's empty.
TEST(Ptrh, FailingOperationsAndBrokenInvariantsLeaveTheDocumentedStates) {
  Object* b = newObject();
  Object* a = newObject();
  cstd_ptrh onA{}, copy{};
  g_log.failIncrement = true;
  EXPECT_EQ((std::tuple{cstd_ptrh_construct(&onA, &a->shared), onA.shared, a->count}),
            std::tuple(kFailure, &a->shared, 0));
  g_log.failIncrement = false;
  ASSERT_EQ(cstd_ptrh_construct(&onA, &a->shared), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_assignShared(&onA, &a->shared), CSYS_OK);  // the held block: not dropped
  ASSERT_EQ(cstd_ptrh_constructCopy(&copy, &onA), CSYS_OK);

  g_log.failDecrement = true;
  EXPECT_EQ((std::pair{cstd_ptrh_assignShared(&copy, &b->shared), copy.shared}),
            std::pair(kFailure, &a->shared));
  EXPECT_EQ((std::tuple{cstd_ptrh_destruct(&copy), copy.shared, a->count, b->count}),
            (std::tuple<csys_status, cstd_shared*, int, int>(kFailure, nullptr, 2, 0)));
  g_log.failDecrement = false;
  a->count = 1;  // forget the reference the failed drop left behind

  g_log.failFree = true;
  EXPECT_EQ((std::tuple{cstd_ptrh_assignShared(&onA, &b->shared), onA.shared, g_log.frees}),
            std::tuple(kFailure, &a->shared, 1));
  csys_memory_free(&a);

  g_log = {};
  pmtsys_test::AssertCapture asserts;
  cstd_ptrh handle{};
  const cstd_shared_vtable noIncrement{kTable.release, nullptr, kTable.decrement};
  b->shared.ops = &noIncrement;  // a missing operation is reported, not called
  EXPECT_EQ(cstd_ptrh_construct(&handle, &b->shared), CSYS_OK);
  EXPECT_EQ(asserts.count(), 1u);
  b->count = -5;  // a negative count and a missing whole: reported, still counted
  b->shared.whole = nullptr;
  EXPECT_EQ(cstd_ptrh_assignShared(&handle, nullptr), CSYS_OK);
  EXPECT_EQ(std::pair(asserts.count(), b->count), std::pair(size_t{3}, -6));

  // A decrement that claims 0 while the count is not: the release is reported, and runs.
  const cstd_shared_vtable lying{
      kTable.release, kTable.increment,
      [](int32_t*, int32_t* newCount, void*, uintptr_t) { return *newCount = 0, CSYS_OK; }};
  b->shared = {&lying, b, 0, &b->shared.ownCount, 0};
  ASSERT_EQ(cstd_ptrh_construct(&handle, &b->shared), CSYS_OK);
  EXPECT_EQ((std::pair{cstd_ptrh_destruct(&handle), g_log.frees}), std::pair(CSYS_OK, 1));
  EXPECT_EQ(cstd_ptrh_detach(nullptr), CSYS_OK);  // a programming error: reported
  EXPECT_EQ(asserts.count(), 5u);
}

using namespace vector_script;

int64_t g_asked;  // the byte count the refusing allocator was asked for
csys_status refuse(intptr_t size, void**) {
  return g_asked = size, CSYS_E_OUT_OF_MEMORY;
}
constexpr cstd_vector_mtable kRefusing{refuse, nullptr, csys_memory_free_internal};
constexpr cstd_vector_mtable kNoAlloc{nullptr, nullptr, csys_memory_free_internal};

TEST(Vector, RefusedCallsGiveTheirStatusAndChangeNothing) {
  pmtsys_test::AssertCapture asserts;
  cstd_vector_ v, w{};
  ASSERT_EQ(cstd_vector__constructWithVtable(&v, 3, sizeof(Element), &kZeroed), CSYS_OK);
  const cstd_vector_ before = v;
  auto* e = static_cast<Element*>(v.begin);
  void* got = nullptr;
  const csys_status statuses[][2] = {
      {cstd_vector__resize(&v, -1), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__reserve(&v, INT64_MAX / 4), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__resizeFill(&v, 5, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e + 4, e, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e, e, reinterpret_cast<uint8_t*>(e) + 3), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__erase(&v, e + 2, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__assignElements(&v, e, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__getElement(&v, 3, &got), CSYS_E_FAIL},
      {cstd_vector__getElement(&v, -1, &got), CSYS_E_FAIL},
      {cstd_vector__getBeginEnd(&v, nullptr, nullptr), CSYS_E_FAIL},
      // Argument errors leave a record under construction alone; the rest destruct it.
      {cstd_vector__construct(&w, -1, 4), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__constructWithVtableWithMtable(&w, 1, 4, nullptr, &kNoAlloc),
       CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__constructWithVtableUninit(&w, 1, sizeof(Element), &kCounted), CSYS_E_FAIL},
      {cstd_vector__construct(&w, INT64_MAX / 2, 4), CSYS_E_NEGATIVE_SIZE},
      // A byte count above 32 bits reaches the allocator whole.
      {cstd_vector__constructWithVtableWithMtable(&w, 0x10001, 0x10001, nullptr, &kRefusing),
       CSYS_E_OUT_OF_MEMORY},
      {cstd_vector__construct(&w, 1, 2), CSYS_OK},
      {cstd_vector__assign(&v, &w), CSYS_E_FAIL},
  };
  for (const auto& [status, expected] : statuses) EXPECT_EQ(status, expected);
  EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
  EXPECT_EQ(std::tuple(got, g_asked, asserts.count()),
            (std::tuple<void*, int64_t, size_t>(nullptr, INT64_C(0x100020001), 8)));
  // A size beyond 32 bits, on a record that only claims it: begin is stored, the size is not.
  cstd_vector_ huge{INT64_C(1) << 31, INT64_C(1) << 31, 1, e, e, nullptr, v.mtable};
  int32_t size32 = 7;
  EXPECT_EQ(cstd_vector__getBeginSize32(&huge, &got, &size32), CSYS_E_FAIL);
  EXPECT_EQ(std::pair(got, size32), (std::pair<void*, int32_t>(e, 7)));
  EXPECT_EQ(cstd_vector__destruct(&v) | cstd_vector__destruct(&w), CSYS_OK);
}

#define TV(op, ...) [&] { return cstd_vector_csys_thread_##op(__VA_ARGS__); }

TEST(ThreadVector, ElementsCountReferencesAndStorageGrowsThroughEveryOperation) {
  csys_thread t{};
  ASSERT_EQ(csys_thread_createRecord(&t, 0), CSYS_OK);  // a thread never started
  cstd_vector_csys_thread v{}, copy{};
  csys_thread* at = nullptr;
  // References on t and capacity after each step: growth by powers of two, reserves exact.
  const std::tuple<std::function<csys_status()>, uint32_t, int64_t> steps[] = {
      {TV(construct, &v, 0), 1, 0},
      {TV(pushBack, &v, &t), 2, 1},
      {TV(resize, &v, 2), 2, 2},
      {TV(pushBack, &v, &t), 3, 4},
      {TV(resizeFill, &v, 6, &t), 6, 8},
      {TV(constructCopy, &copy, &v), 11, 8},
      {TV(reserve, &v, 100), 11, 100},
      {TV(reserve, &v, 3), 11, 100},
      {TV(getBegin, &v, &at), 11, 100},
      {TV(insertElement, &v, at, &t), 12, 100},
      {TV(eraseElement, &v, at + 2), 12, 100},
      {TV(popBack, &v), 11, 100},
      {TV(append, &v, &copy), 16, 100},
      {TV(destruct, &copy), 11, 100},
      {TV(resize, &v, 1), 2, 100},
      {TV(resize, &v, 3), 2, 100},
      {TV(getElement, &v, 2, &at), 2, 100}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& [step, references, capacity] = steps[i];
    const auto got = std::tuple{step(), t.handle.rep->referenceCount, v.capacity, !v.begin};
    EXPECT_EQ(got, std::tuple(CSYS_OK, references, capacity, capacity == 0)) << "step " << i;
  }
  uint32_t id = 0;
  EXPECT_EQ(csys_thread_getOSIdentifier(at, &id), CSYS_E_NO_THREAD_RECORD);  // made empty
  const auto state = [&] { return std::tuple(t.handle.rep->referenceCount, v.size, v.capacity); };
  EXPECT_EQ(state(), std::tuple(2u, 3, 100));
  pmtsys_test::sweepAllocationFailures(TV(reserve, &v, 500),
                                       [&] { EXPECT_EQ(state(), std::tuple(2u, 3, 100)); });
  // The vector holds the last reference: its destruction destroys the record. Twice is no error.
  EXPECT_EQ(csys_thread_destruct(&t) | cstd_vector_csys_thread_destruct(&v) |
                cstd_vector_csys_thread_destruct(&v),
            CSYS_OK);
  EXPECT_EQ(v.size, -1);
}

}  // namespace
