// Reference-counted handles of both schemes: the handle states that failing table operations and
// destroys leave, empty and stale handles, self-assignment, null arguments and broken invariants.
#include <gtest/gtest.h>

#include <utility>

#include "cstd_shared.h"
#include "csys_memory.h"
#include "qzsf_rep.h"
#include "support/report_capture.h"

namespace {

constexpr csys_status kFailure = CSYS_STATUS(0x80000777u);

// Which operations are to fail, and the frees seen.
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

// An object nobody holds yet, and a cleared log.
Object* newObject() {
  Object* object = nullptr;
  EXPECT_EQ(csys_memory_alloc(sizeof(Object), &object), CSYS_OK);
  *object = {{freeObject, 0, object}, 42, {}};
  const cstd_shared_initParams params{0, &object->count, &kTable};
  EXPECT_EQ(cstd_shared_initCustom(&object->shared, object, &params), CSYS_OK);
  g_log = {};
  return object;
}

// The two schemes, for the tests they share.
struct SharedScheme {
  using Handle = cstd_ptrh;
  static constexpr auto header = &Object::shared;
  static constexpr auto construct = cstd_ptrh_construct;
  static constexpr auto copy = cstd_ptrh_constructCopy;
  static constexpr auto assign = cstd_ptrh_assign;
  static constexpr auto drop = cstd_ptrh_destruct;
  static constexpr auto whole = cstd_ptrh_getWholeShared;
  static int count(const Object* object) { return object->count; }
};
struct RepScheme {
  using Handle = qzsfPtrHandle;
  static constexpr auto header = &Object::rep;
  static constexpr auto construct = qzsfPtrHandle_Construct;
  static constexpr auto copy = qzsfPtrHandle_ConstructCopy;
  static constexpr auto assign = qzsfPtrHandle_Assign;
  static constexpr auto drop = qzsfPtrHandle_Destruct;
  static constexpr auto whole = qzsfPtrHandle_RepObjGet;
  static int count(const Object* object) { return int(object->rep.referenceCount); }
};
template <typename>
class SharedAndRep : public testing::Test {};
using Schemes = testing::Types<SharedScheme, RepScheme>;
TYPED_TEST_SUITE(SharedAndRep, Schemes);

// Stale handles, never constructed: construct ignores what they held, and the copy constructor
// empties them without a drop.
TYPED_TEST(SharedAndRep, CountsBoundariesAndAFailingFree) {
  using S = TypeParam;
  Object* b = newObject();
  Object* a = newObject();
  typename S::Handle onA{&(b->*S::header)}, onB{}, moving{&(a->*S::header)};
  ASSERT_EQ(S::construct(&onA, &(a->*S::header)), CSYS_OK);
  void* whole = a;
  for (const csys_status status :
       {S::construct(nullptr, &(a->*S::header)), S::copy(&moving, nullptr),
        S::assign(&onA, nullptr), S::drop(nullptr), S::whole(nullptr, &whole)}) {
    EXPECT_EQ(status, CSYS_E_INVALID_ARGUMENT);
  }
  EXPECT_EQ(whole, a);
  EXPECT_EQ(S::assign(&onA, &onA), CSYS_OK);  // the only reference: not dropped
  ASSERT_EQ(S::copy(&moving, &onA), CSYS_OK);
  ASSERT_EQ(S::construct(&onB, &(b->*S::header)), CSYS_OK);
  EXPECT_EQ(S::assign(&moving, &onB), CSYS_OK);
  EXPECT_EQ(std::pair(S::count(a), S::count(b)), std::pair(1, 2));
  EXPECT_EQ(S::drop(&onA), CSYS_OK);  // the last reference on a
  EXPECT_EQ(S::drop(&onB), CSYS_OK);
  EXPECT_EQ(g_log.frees, 1);
  g_log.failFree = true;  // returned, and the handle emptied all the same
  EXPECT_EQ(S::drop(&moving), kFailure);
  EXPECT_EQ(S::whole(&moving, &whole), CSYS_OK);  // empty: no whole, and drops nothing
  EXPECT_EQ(whole, nullptr);
  EXPECT_EQ(S::drop(&moving), CSYS_OK);
  EXPECT_EQ(g_log.frees, 2);
  csys_memory_free(&b);
}

// Failing custom table operations: an increment leaves the handle holding the block uncounted; a
// decrement or release leaves assignShared's handle on the old block, and destruct's empty.
TEST(Ptrh, FailingTableOperationsLeaveTheDocumentedStates) {
  Object* b = newObject();
  Object* a = newObject();
  cstd_ptrh onA{};
  cstd_ptrh copy{};
  g_log.failIncrement = true;
  EXPECT_EQ(cstd_ptrh_construct(&onA, &a->shared), kFailure);
  EXPECT_EQ(onA.shared, &a->shared);
  EXPECT_EQ(a->count, 0);
  g_log.failIncrement = false;
  ASSERT_EQ(cstd_ptrh_construct(&onA, &a->shared), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_assignShared(&onA, &a->shared), CSYS_OK);  // the held block: not dropped
  ASSERT_EQ(cstd_ptrh_constructCopy(&copy, &onA), CSYS_OK);

  g_log.failDecrement = true;
  EXPECT_EQ(cstd_ptrh_assignShared(&copy, &b->shared), kFailure);
  EXPECT_EQ(copy.shared, &a->shared);
  EXPECT_EQ(cstd_ptrh_destruct(&copy), kFailure);
  EXPECT_EQ(copy.shared, nullptr);
  EXPECT_EQ(std::pair(a->count, b->count), std::pair(2, 0));
  g_log.failDecrement = false;
  a->count = 1;  // forget the reference the failed drop left behind

  g_log.failFree = true;
  EXPECT_EQ(cstd_ptrh_assignShared(&onA, &b->shared), kFailure);
  EXPECT_EQ(onA.shared, &a->shared);
  EXPECT_EQ(g_log.frees, 1);
  csys_memory_free(&a);
  csys_memory_free(&b);
}

TEST(Ptrh, BrokenInvariantsAreReportedAndTheCallerGoesOn) {
  Object* object = newObject();
  pmtsys_test::AssertCapture asserts;
  cstd_ptrh handle{};
  const cstd_shared_vtable noIncrement{kTable.release, nullptr, kTable.decrement};
  object->shared.ops = &noIncrement;  // a missing operation is reported, not called
  EXPECT_EQ(cstd_ptrh_construct(&handle, &object->shared), CSYS_OK);
  EXPECT_EQ(asserts.count(), 1u);
  object->count = -5;  // a negative count and a missing whole: reported, still counted
  object->shared.whole = nullptr;
  EXPECT_EQ(cstd_ptrh_assignShared(&handle, nullptr), CSYS_OK);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(object->count, -6);

  // A decrement that claims 0 while the count is not: the release is reported, and runs.
  const cstd_shared_vtable lying{kTable.release, kTable.increment,
                                 [](int32_t*, int32_t* newCount, void*, uintptr_t) {
                                   *newCount = 0;
                                   return CSYS_OK;
                                 }};
  object->shared = {&lying, object, 0, &object->shared.ownCount, 0};
  ASSERT_EQ(cstd_ptrh_construct(&handle, &object->shared), CSYS_OK);
  EXPECT_EQ(cstd_ptrh_destruct(&handle), CSYS_OK);
  EXPECT_EQ(g_log.frees, 1);
  EXPECT_EQ(cstd_ptrh_detach(nullptr), CSYS_OK);  // a programming error: reported
  EXPECT_EQ(asserts.count(), 5u);
}

}  // namespace
