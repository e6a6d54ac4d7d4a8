/* Typed vectors: the generic vector with a fixed element size and element table, behind one
 * forwarding function per generic operation whose element pointers carry the element type.
 * CSTD_VECTOR_DECLARE_TYPED(T) declares cstd_vector_T and its operations; the vector of thread
 * handles is the library's instance: each element holds its own reference on a thread record. */
#ifndef CSTD_VECTOR_CSYS_THREAD_H
#define CSTD_VECTOR_CSYS_THREAD_H

#include "cstd_vector.h"
#include "csys_thread.h"

CSYS_EXTERN_C_BEGIN

/* Sizes and indices are element counts; getSize and getBeginSize give 32-bit sizes. */
#define CSTD_VECTOR_DECLARE_TYPED(T)                                                               \
  typedef cstd_vector_ cstd_vector_##T;                                                            \
  CSYS_API csys_status cstd_vector_##T##_construct(cstd_vector_##T* v, int64_t count);             \
  CSYS_API csys_status cstd_vector_##T##_constructWithMtable(cstd_vector_##T* v, int64_t count,    \
                                                             const cstd_vector_mtable* mtable);    \
  CSYS_API csys_status cstd_vector_##T##_constructEmpty(cstd_vector_##T* v);                       \
  CSYS_API csys_status cstd_vector_##T##_constructEmptyWithMtable(                                 \
      cstd_vector_##T* v, const cstd_vector_mtable* mtable);                                       \
  CSYS_API csys_status cstd_vector_##T##_constructUninit(cstd_vector_##T* v, int64_t count);       \
  CSYS_API csys_status cstd_vector_##T##_constructFill(cstd_vector_##T* v, int64_t count,          \
                                                       const T* element);                          \
  CSYS_API csys_status cstd_vector_##T##_constructFromBlock(cstd_vector_##T* v, const T* first,    \
                                                            const T* last);                        \
  CSYS_API csys_status cstd_vector_##T##_constructCopy(cstd_vector_##T* v,                         \
                                                       const cstd_vector_##T* source);             \
  CSYS_API csys_status cstd_vector_##T##_assign(cstd_vector_##T* v,                                \
                                                const cstd_vector_##T* source);                    \
  CSYS_API csys_status cstd_vector_##T##_assignElements(cstd_vector_##T* v, const T* first,        \
                                                        const T* last);                            \
  CSYS_API csys_status cstd_vector_##T##_destruct(cstd_vector_##T* v);                             \
  CSYS_API csys_status cstd_vector_##T##_resize(cstd_vector_##T* v, int64_t size);                 \
  CSYS_API csys_status cstd_vector_##T##_resizeUninit(cstd_vector_##T* v, int64_t size);           \
  CSYS_API csys_status cstd_vector_##T##_resizeFill(cstd_vector_##T* v, int64_t size,              \
                                                    const T* element);                             \
  CSYS_API csys_status cstd_vector_##T##_reserve(cstd_vector_##T* v, int64_t capacity);            \
  CSYS_API csys_status cstd_vector_##T##_getSize(const cstd_vector_##T* v, int32_t* size);         \
  CSYS_API csys_status cstd_vector_##T##_getSize32(const cstd_vector_##T* v, int32_t* size);       \
  CSYS_API csys_status cstd_vector_##T##_getCapacity(const cstd_vector_##T* v, int64_t* capacity); \
  CSYS_API csys_status cstd_vector_##T##_getElementSize(const cstd_vector_##T* v,                  \
                                                        int64_t* elementSize);                     \
  CSYS_API csys_status cstd_vector_##T##_getBeginEnd(cstd_vector_##T* v, T** begin, T** end);      \
  CSYS_API csys_status cstd_vector_##T##_getBeginEndConst(const cstd_vector_##T* v,                \
                                                          const T** begin, const T** end);         \
  CSYS_API csys_status cstd_vector_##T##_getBegin(cstd_vector_##T* v, T** begin);                  \
  CSYS_API csys_status cstd_vector_##T##_getBeginConst(const cstd_vector_##T* v, const T** begin); \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize(cstd_vector_##T* v, T** begin,               \
                                                      int32_t* size);                              \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize32(cstd_vector_##T* v, T** begin,             \
                                                        int32_t* size);                            \
  CSYS_API csys_status cstd_vector_##T##_getBeginSizeConst(const cstd_vector_##T* v,               \
                                                           const T** begin, int32_t* size);        \
  CSYS_API csys_status cstd_vector_##T##_getBeginSize32Const(const cstd_vector_##T* v,             \
                                                             const T** begin, int32_t* size);      \
  CSYS_API csys_status cstd_vector_##T##_getElement(cstd_vector_##T* v, int64_t index,             \
                                                    T** element);                                  \
  CSYS_API csys_status cstd_vector_##T##_getElementConst(const cstd_vector_##T* v, int64_t index,  \
                                                         const T** element);                       \
  CSYS_API csys_status cstd_vector_##T##_insert(cstd_vector_##T* v, T* position, const T* first,   \
                                                const T* last);                                    \
  CSYS_API csys_status cstd_vector_##T##_insertElement(cstd_vector_##T* v, T* position,            \
                                                       const T* element);                          \
  CSYS_API csys_status cstd_vector_##T##_erase(cstd_vector_##T* v, T* first, T* last);             \
  CSYS_API csys_status cstd_vector_##T##_eraseElement(cstd_vector_##T* v, T* position);            \
  CSYS_API csys_status cstd_vector_##T##_pushBack(cstd_vector_##T* v, const T* element);           \
  CSYS_API csys_status cstd_vector_##T##_popBack(cstd_vector_##T* v);                              \
  CSYS_API csys_status cstd_vector_##T##_clear(cstd_vector_##T* v);                                \
  CSYS_API csys_status cstd_vector_##T##_clearAndFreeMemory(cstd_vector_##T* v);                   \
  CSYS_API csys_status cstd_vector_##T##_append(cstd_vector_##T* v,                                \
                                                const cstd_vector_##T* source);                    \
  CSYS_API csys_status cstd_vector_##T##_swap(cstd_vector_##T* a, cstd_vector_##T* b);             \
  CSYS_DECLARE_TYPE_CHECKS(cstd_vector_##T)

/* Growth copies the handles into new storage; the Uninit operations are always refused. */
CSTD_VECTOR_DECLARE_TYPED(csys_thread)

CSYS_EXTERN_C_END

#endif /* CSTD_VECTOR_CSYS_THREAD_H */
