/* The generic vector: a growable array of elements of one byte size. Element behaviour comes
 * from an optional table of element operations (a null slot is not called: elements are then
 * plain bytes), memory from a table of memory functions (null: the library's allocator). The
 * record is caller-owned; concurrent use of one vector must be serialised by the caller. */
#ifndef CSTD_VECTOR_H
#define CSTD_VECTOR_H

#include "csys_memory.h"

CSYS_EXTERN_C_BEGIN

/* alloc and free are required; a null realloc makes storage move by allocate, copy and free. */
typedef struct cstd_vector_mtable {
  csys_memory_allocFunc alloc;
  csys_memory_allocFunc realloc;
  csys_status (*free)(void** dest);
} cstd_vector_mtable;

typedef struct cstd_vector_vtable {
  csys_status (*construct)(void* element, const cstd_vector_mtable* mtable);
  csys_status (*constructCopy)(void* element, const void* source);
  csys_status (*assign)(void* dest, const void* source);
  csys_status (*destruct)(void* element);
  /* -1: none; 0 to 255: new elements are filled with this byte when construct is null. */
  int32_t fillByte;
} cstd_vector_vtable;

typedef struct cstd_vector_ {
  int64_t size;
  int64_t capacity;
  int64_t elementSize;
  void* begin;
  void* end; /* begin + size * elementSize */
  const cstd_vector_vtable* vtable;
  const cstd_vector_mtable* mtable;
} cstd_vector_;

/* Clears *equal when the two elements differ. */
typedef csys_status (*cstd_vector_compareFunc)(const void* a, const void* b, uint32_t* equal);

CSYS_API csys_status cstd_vector__construct(cstd_vector_* v, int64_t count, int64_t elementSize);
CSYS_API csys_status cstd_vector__constructWithVtable(cstd_vector_* v, int64_t count,
                                                      int64_t elementSize,
                                                      const cstd_vector_vtable* vtable);
CSYS_API csys_status cstd_vector__constructWithVtableWithMtable(cstd_vector_* v, int64_t count,
                                                                int64_t elementSize,
                                                                const cstd_vector_vtable* vtable,
                                                                const cstd_vector_mtable* mtable);
CSYS_API csys_status cstd_vector__constructWithVtableUninit(cstd_vector_* v, int64_t count,
                                                            int64_t elementSize,
                                                            const cstd_vector_vtable* vtable);
CSYS_API csys_status cstd_vector__constructFill(cstd_vector_* v, int64_t count, int64_t elementSize,
                                                const void* element);
CSYS_API csys_status cstd_vector__constructFillWithVtable(cstd_vector_* v, int64_t count,
                                                          int64_t elementSize, const void* element,
                                                          const cstd_vector_vtable* vtable);
CSYS_API csys_status cstd_vector__constructFromBlock(cstd_vector_* v, int64_t elementSize,
                                                     const void* first, const void* last);
CSYS_API csys_status cstd_vector__constructFromBlockWithVtable(cstd_vector_* v, int64_t elementSize,
                                                               const void* first, const void* last,
                                                               const cstd_vector_vtable* vtable);
CSYS_API csys_status cstd_vector__constructFromBlockWithVtableWithMtable(
    cstd_vector_* v, int64_t elementSize, const void* first, const void* last,
    const cstd_vector_vtable* vtable, const cstd_vector_mtable* mtable);
CSYS_API csys_status cstd_vector__constructCopy(cstd_vector_* v, const cstd_vector_* source);
CSYS_API csys_status cstd_vector__destruct(cstd_vector_* v);

CSYS_API csys_status cstd_vector__assign(cstd_vector_* dest, const cstd_vector_* source);
CSYS_API csys_status cstd_vector__assignElements(cstd_vector_* v, const void* first,
                                                 const void* last);
CSYS_API csys_status cstd_vector__resize(cstd_vector_* v, int64_t newSize);
CSYS_API csys_status cstd_vector__resizeUninit(cstd_vector_* v, int64_t newSize);
CSYS_API csys_status cstd_vector__resizeFill(cstd_vector_* v, int64_t newSize, const void* element);
CSYS_API csys_status cstd_vector__reserve(cstd_vector_* v, int64_t capacity);
CSYS_API csys_status cstd_vector__clear(cstd_vector_* v);
CSYS_API csys_status cstd_vector__clearAndFreeMemory(cstd_vector_* v);
CSYS_API csys_status cstd_vector__pushBack(cstd_vector_* v, const void* element);
CSYS_API csys_status cstd_vector__popBack(cstd_vector_* v);
CSYS_API csys_status cstd_vector__insert(cstd_vector_* v, void* position, const void* first,
                                         const void* last);
CSYS_API csys_status cstd_vector__insertElement(cstd_vector_* v, void* position,
                                                const void* element);
CSYS_API csys_status cstd_vector__erase(cstd_vector_* v, void* first, void* last);
CSYS_API csys_status cstd_vector__eraseElement(cstd_vector_* v, void* position);
CSYS_API csys_status cstd_vector__append(cstd_vector_* v, const cstd_vector_* source);
CSYS_API csys_status cstd_vector__swap(cstd_vector_* a, cstd_vector_* b);
CSYS_API csys_status cstd_vector__compareEqual(const cstd_vector_* a, const cstd_vector_* b,
                                               uint32_t* equal, cstd_vector_compareFunc compare);

CSYS_API csys_status cstd_vector__getSize(const cstd_vector_* v, int64_t* size);
CSYS_API csys_status cstd_vector__getSize32(const cstd_vector_* v, int32_t* size);
CSYS_API csys_status cstd_vector__getCapacity(const cstd_vector_* v, int64_t* capacity);
CSYS_API csys_status cstd_vector__getElementSize(const cstd_vector_* v, int64_t* elementSize);
CSYS_API csys_status cstd_vector__getBeginEnd(cstd_vector_* v, void** begin, void** end);
CSYS_API csys_status cstd_vector__getBeginEndConst(const cstd_vector_* v, const void** begin,
                                                   const void** end);
CSYS_API csys_status cstd_vector__getBeginSize(cstd_vector_* v, void** begin, int64_t* size);
CSYS_API csys_status cstd_vector__getBeginSizeConst(const cstd_vector_* v, const void** begin,
                                                    int64_t* size);
CSYS_API csys_status cstd_vector__getBeginSize32(cstd_vector_* v, void** begin, int32_t* size);
CSYS_API csys_status cstd_vector__getBeginSize32Const(const cstd_vector_* v, const void** begin,
                                                      int32_t* size);
CSYS_API csys_status cstd_vector__getElement(cstd_vector_* v, int64_t index, void** element);
CSYS_API csys_status cstd_vector__getElementConst(const cstd_vector_* v, int64_t index,
                                                  const void** element);

CSYS_EXTERN_C_END

#endif /* CSTD_VECTOR_H */
