// The vector of thread handles, and the way typed vectors are made: CSTD_VECTOR_DEFINE_TYPED
// forwards every operation to the generic vector with the element size and table supplied, and
// converts the typed element pointers; it adds no behaviour of its own.
#include "cstd_vector_csys_thread.h"
#include "diag/type_checks.h"

#define CSTD_VECTOR_DEFINE_TYPED(T, table)                                                        \
  extern "C" {                                                                                    \
  CSYS_API csys_status cstd_vector_##T##_construct(cstd_vector_##T* v, int64_t count) {           \
    return cstd_vector__constructWithVtable(v, count, sizeof(T), &(table));                       \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructWithMtable(cstd_vector_##T* v, int64_t count,   \
                                                             const cstd_vector_mtable* mtable) {  \
    return cstd_vector__constructWithVtableWithMtable(v, count, sizeof(T), &(table), mtable);     \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructEmpty(cstd_vector_##T* v) {                     \
    return cstd_vector__constructWithVtable(v, 0, sizeof(T), &(table));                           \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructEmptyWithMtable(                                \
      cstd_vector_##T* v, const cstd_vector_mtable* mtable) {                                     \
    return cstd_vector__constructWithVtableWithMtable(v, 0, sizeof(T), &(table), mtable);         \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructUninit(cstd_vector_##T* v, int64_t count) {     \
    return cstd_vector__constructWithVtableUninit(v, count, sizeof(T), &(table));                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructFill(cstd_vector_##T* v, int64_t count,         \
                                                       const T* element) {                        \
    return cstd_vector__constructFillWithVtable(v, count, sizeof(T), element, &(table));          \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructFromBlock(cstd_vector_##T* v, const T* first,   \
                                                            const T* last) {                      \
    return cstd_vector__constructFromBlockWithVtable(v, sizeof(T), first, last, &(table));        \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_constructCopy(cstd_vector_##T* v,                        \
                                                       const cstd_vector_##T* source) {           \
    return cstd_vector__constructCopy(v, source);                                                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_assign(cstd_vector_##T* v,                               \
                                                const cstd_vector_##T* source) {                  \
    return cstd_vector__assign(v, source);                                                        \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_assignElements(cstd_vector_##T* v, const T* first,       \
                                                        const T* last) {                          \
    return cstd_vector__assignElements(v, first, last);                                           \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_destruct(cstd_vector_##T* v) {                           \
    return cstd_vector__destruct(v);                                                              \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_resize(cstd_vector_##T* v, int64_t size) {               \
    return cstd_vector__resize(v, size);                                                          \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_resizeUninit(cstd_vector_##T* v, int64_t size) {         \
    return cstd_vector__resizeUninit(v, size);                                                    \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_resizeFill(cstd_vector_##T* v, int64_t size,             \
                                                    const T* element) {                           \
    return cstd_vector__resizeFill(v, size, element);                                             \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_reserve(cstd_vector_##T* v, int64_t capacity) {          \
    return cstd_vector__reserve(v, capacity);                                                     \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getSize(const cstd_vector_##T* v, int32_t* size) {       \
    return cstd_vector__getSize32(v, size);                                                       \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getSize32(const cstd_vector_##T* v, int32_t* size) {     \
    return cstd_vector__getSize32(v, size);                                                       \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getCapacity(const cstd_vector_##T* v,                    \
                                                     int64_t* capacity) {                         \
    return cstd_vector__getCapacity(v, capacity);                                                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getElementSize(const cstd_vector_##T* v,                 \
                                                        int64_t* elementSize) {                   \
    return cstd_vector__getElementSize(v, elementSize);                                           \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginEnd(cstd_vector_##T* v, T** begin, T** end) {    \
    return cstd_vector__getBeginEnd(v, reinterpret_cast<void**>(begin),                           \
                                    reinterpret_cast<void**>(end));                               \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginEndConst(const cstd_vector_##T* v,               \
                                                          const T** begin, const T** end) {       \
    return cstd_vector__getBeginEndConst(v, reinterpret_cast<const void**>(begin),                \
                                         reinterpret_cast<const void**>(end));                    \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBegin(cstd_vector_##T* v, T** begin) {                \
    return cstd_vector__getBeginEnd(v, reinterpret_cast<void**>(begin), nullptr);                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginConst(const cstd_vector_##T* v,                  \
                                                       const T** begin) {                         \
    return cstd_vector__getBeginEndConst(v, reinterpret_cast<const void**>(begin), nullptr);      \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize(cstd_vector_##T* v, T** begin,              \
                                                      int32_t* size) {                            \
    return cstd_vector__getBeginSize32(v, reinterpret_cast<void**>(begin), size);                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize32(cstd_vector_##T* v, T** begin,            \
                                                        int32_t* size) {                          \
    return cstd_vector__getBeginSize32(v, reinterpret_cast<void**>(begin), size);                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginSizeConst(const cstd_vector_##T* v,              \
                                                           const T** begin, int32_t* size) {      \
    return cstd_vector__getBeginSize32Const(v, reinterpret_cast<const void**>(begin), size);      \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize32Const(const cstd_vector_##T* v,            \
                                                             const T** begin, int32_t* size) {    \
    return cstd_vector__getBeginSize32Const(v, reinterpret_cast<const void**>(begin), size);      \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getElement(cstd_vector_##T* v, int64_t index,            \
                                                    T** element) {                                \
    return cstd_vector__getElement(v, index, reinterpret_cast<void**>(element));                  \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_getElementConst(const cstd_vector_##T* v, int64_t index, \
                                                         const T** element) {                     \
    return cstd_vector__getElementConst(v, index, reinterpret_cast<const void**>(element));       \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_insert(cstd_vector_##T* v, T* position, const T* first,  \
                                                const T* last) {                                  \
    return cstd_vector__insert(v, position, first, last);                                         \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_insertElement(cstd_vector_##T* v, T* position,           \
                                                       const T* element) {                        \
    return cstd_vector__insertElement(v, position, element);                                      \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_erase(cstd_vector_##T* v, T* first, T* last) {           \
    return cstd_vector__erase(v, first, last);                                                    \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_eraseElement(cstd_vector_##T* v, T* position) {          \
    return cstd_vector__eraseElement(v, position);                                                \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_pushBack(cstd_vector_##T* v, const T* element) {         \
    return cstd_vector__pushBack(v, element);                                                     \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_popBack(cstd_vector_##T* v) {                            \
    return cstd_vector__popBack(v);                                                               \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_clear(cstd_vector_##T* v) {                              \
    return cstd_vector__clear(v);                                                                 \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_clearAndFreeMemory(cstd_vector_##T* v) {                 \
    return cstd_vector__clearAndFreeMemory(v);                                                    \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_append(cstd_vector_##T* v,                               \
                                                const cstd_vector_##T* source) {                  \
    return cstd_vector__append(v, source);                                                        \
  }                                                                                               \
  CSYS_API csys_status cstd_vector_##T##_swap(cstd_vector_##T* a, cstd_vector_##T* b) {           \
    return cstd_vector__swap(a, b);                                                               \
  }                                                                                               \
  }                                                                                               \
  CSYS_DEFINE_TYPE_CHECKS(cstd_vector_##T)

namespace {

// Element slots on thread handles; the memory table is not needed to make an empty handle.
csys_status constructThread(void* element, const cstd_vector_mtable*) {
  return csys_thread_construct(static_cast<csys_thread*>(element));
}
csys_status copyThread(void* element, const void* source) {
  return csys_thread_constructCopy(static_cast<csys_thread*>(element),
                                   static_cast<const csys_thread*>(source));
}
csys_status assignThread(void* element, const void* source) {
  return csys_thread_assign(static_cast<csys_thread*>(element),
                            static_cast<const csys_thread*>(source));
}
csys_status destructThread(void* element) {
  return csys_thread_destruct(static_cast<csys_thread*>(element));
}

constexpr cstd_vector_vtable kThreadTable{constructThread, copyThread, assignThread, destructThread,
                                          -1};

}  // namespace

CSTD_VECTOR_DEFINE_TYPED(csys_thread, kThreadTable)
