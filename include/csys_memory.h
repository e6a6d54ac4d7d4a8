/* Memory: allocation through the caller's pointer variable, with accounting and simulated
 * out-of-memory; block fill. Every allocating call takes the address of the caller's pointer
 * variable, frees what it holds and stores the new block; freeing sets the variable to null. */
#ifndef CSYS_MEMORY_H
#define CSYS_MEMORY_H

#include <stddef.h>

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

typedef csys_status (*csys_memory_allocFunc)(intptr_t size, void** dest);

/* Allocates `size` bytes into *dest (size 0: *dest becomes null), freeing what *dest held only
 * once the new block exists. The caller owns the block and frees it with csys_memory_free.
 * CSYS_E_NEGATIVE_SIZE, CSYS_E_OUT_OF_MEMORY (real or simulated; *dest untouched),
 * CSYS_E_INVALID_ARGUMENT for a null dest. Use the csys_memory_alloc macro below. */
CSYS_API csys_status csys_memory_alloc_internal(intptr_t size, void** dest);
/* As csys_memory_alloc_internal (the system allocator's alignment suffices). */
CSYS_API csys_status csys_memory_allocCacheAligned_internal(intptr_t size, void** dest);
/* As csys_memory_alloc_internal, except that size 0 leaves *dest as it is. */
CSYS_API csys_status csys_memory_allocFastMem_internal(intptr_t size, void** dest);
/* As csys_memory_alloc_internal, the block filled with zeros. */
CSYS_API csys_status csys_memory_allocClear_internal(intptr_t size, void** dest);
/* Alignments 1 to 255: the byte below the returned block records its offset. Larger
 * alignments are refused with CSYS_E_INVALID_ALIGNMENT. */
CSYS_API csys_status csys_memory_allocAlignedToMalloc_internal(intptr_t size, void** dest,
                                                               int32_t alignment);
/* Frees a block of csys_memory_allocAlignedToMalloc_internal and sets *dest to null; a null
 * dest or *dest is nothing to do. */
CSYS_API csys_status csys_memory_freeAlignedToMalloc(void** dest);
/* Resizes *dest keeping its contents (null: allocates; size 0: frees). On failure the old block
 * stays in *dest. CSYS_E_NEGATIVE_SIZE, CSYS_E_OUT_OF_MEMORY, CSYS_E_INVALID_ARGUMENT. */
CSYS_API csys_status csys_memory_realloc_internal(intptr_t size, void** dest);
/* Frees *dest and sets it to null; a null *dest is nothing to do. Always 0. */
CSYS_API csys_status csys_memory_free_internal(void** dest);

/* 64-bit sizes: the 32-bit-size operation of the same name (or `func`) after checking the size;
 * one the address space cannot hold is CSYS_E_OUT_OF_MEMORY, a negative one
 * CSYS_E_NEGATIVE_SIZE. */
CSYS_API csys_status csys_memory_alloc64UsingFunc(int64_t size, void** dest,
                                                  csys_memory_allocFunc func);
CSYS_API csys_status csys_memory_realloc64UsingFunc(int64_t size, void** dest,
                                                    csys_memory_allocFunc func);
CSYS_API csys_status csys_memory_alloc64_internal(int64_t size, void** dest);
CSYS_API csys_status csys_memory_allocCacheAligned64_internal(int64_t size, void** dest);
CSYS_API csys_status csys_memory_allocFastMem64_internal(int64_t size, void** dest);
CSYS_API csys_status csys_memory_allocClear64_internal(int64_t size, void** dest);
CSYS_API csys_status csys_memory_realloc64_internal(int64_t size, void** dest);

/* Counting of allocation requests and the simulated out-of-memory threshold (0 = off). Every
 * request that would allocate adds one to the count; once the count reaches a non-zero
 * threshold, that request and every later one fail with CSYS_E_OUT_OF_MEMORY. Atomic: the
 * threshold trips at exactly the n-th request across threads. */
CSYS_API csys_status csys_memory_allocCountGet(uint32_t* count);
/* Adds delta to the count; CSYS_E_OUT_OF_MEMORY when the new count reaches the threshold (how a
 * caller's own allocator takes part in the simulation). */
CSYS_API csys_status csys_memory_allocCountModify(int32_t delta);
CSYS_API csys_status csys_memory_allocCountReset(void);
CSYS_API csys_status csys_memory_allocCountSetOutOfMemory(uint32_t threshold);

/* On-chip memory and the heap-block registry: this platform has neither. The queries store 0
 * (no on-chip memory, no registered blocks) and the changes do nothing; all return 0. */
CSYS_API csys_status csys_memory_getIsOnChip(const void* block, int32_t* isOnChip);
CSYS_API csys_status csys_memory_getOnChipHeapSize(uint64_t* size);
CSYS_API csys_status csys_memory_getOnChipUsage(uint64_t* usage);
CSYS_API csys_status csys_memory_getOnChipMaxUsage(uint64_t* maxUsage);
CSYS_API csys_status csys_memory_resetOnChipMaxUsage(void);
CSYS_API csys_status csys_memory_heapblock_add(uintptr_t block);
CSYS_API csys_status csys_memory_heapblock_remove(uint32_t value);
CSYS_API csys_status csys_memory_heapblock_clear(void);
CSYS_API csys_status csys_memory_heapblock_dump(void);
CSYS_API csys_status csys_memory_heapblock_count(uint32_t* count);

/* Plain pointer-returning entry points for foreign callers: null on any failure. Blocks are
 * counted like the others and freed with qzfFree (or csys_memory_free). */
typedef struct qzfHeapStats {
  uint32_t counter0;
  uint32_t counter1;
  uint32_t counter2;
  uint32_t counter3;
} qzfHeapStats;

CSYS_API void* qzfMalloc(intptr_t size);
CSYS_API void* qzfCacheAlloc(intptr_t size);
CSYS_API void qzfFree(void* block);
/* Frees the previous pool block; each call invalidates the block the previous call returned. */
CSYS_API void* qzfPoolAlloc(uint32_t size);
/* No pool on this platform: 0. */
CSYS_API intptr_t qzfPoolAllocAvailable(void);
/* No heap statistics on this platform: every counter 0. */
CSYS_API void qzfHeapStatistics(qzfHeapStats* stats);

/* Fills. Size 0 is nothing to do; a negative size is CSYS_E_NEGATIVE_SIZE, a null dest with a
 * positive size CSYS_E_INVALID_ARGUMENT. fill64 refuses a size the address space cannot hold
 * with CSYS_E_OUT_OF_MEMORY. */
CSYS_API csys_status csys_memory_fill(uint8_t value, intptr_t size, void* dest);
CSYS_API csys_status csys_memory_fill64(uint8_t value, int64_t size, void* dest);
/* `rows` rows of `rowBytes` bytes, `stride` bytes apart; a stride shorter than a row or a
 * negative count is CSYS_E_INVALID_RECT (a stride equal to the row fills one block). */
CSYS_API csys_status csys_memory_fillRect(uint8_t value, int32_t rowBytes, int32_t rows,
                                          int32_t stride, void* dest);
/* `count` copies of the `blockSize`-byte pattern side by side; a block size below 1, a negative
 * count or a total beyond the address space is CSYS_E_INVALID_BLOCK. */
CSYS_API csys_status csys_memory_fillBlock(const void* pattern, int64_t blockSize, int64_t count,
                                           void* dest);
CSYS_API csys_status csys_memory_fillBlock64(const void* pattern, int64_t blockSize, int64_t count,
                                             void* dest);

/* Copies of blocks and rectangles; source and destination must not overlap. On processors with
 * non-temporal stores the copies stream past the caches. */
CSYS_API csys_status csys_memory_copy(intptr_t size, const void* source, void* destination);
CSYS_API csys_status csys_memory_copy64(int64_t size, const void* source, void* destination);
CSYS_API csys_status csys_memory_copyRect(int32_t rowBytes, int32_t rows, int32_t sourceStride,
                                          int32_t destinationStride, const void* source,
                                          void* destination);
/* Makes *dest a copy of size bytes at source, reusing what *dest holds; size 0 frees it. */
CSYS_API csys_status csys_memory_clone_internal(intptr_t size, const void* source, void** dest);
CSYS_API csys_status csys_memory_clone64_internal(int64_t size, const void* source, void** dest);
/* The streaming copy with the caller's split: head bytes, bulk / 64 blocks of 64, tail bytes. */
CSYS_API void cf_asmwrap_fast_simple_copy(const void* source, void* destination, int32_t bulk,
                                          int32_t head, int32_t tail);

CSYS_EXTERN_C_END

/* Callers pass the address of any pointer variable. */
#define csys_memory_alloc(size, dest) csys_memory_alloc_internal((size), (void**)(dest))
#define csys_memory_allocClear(size, dest) csys_memory_allocClear_internal((size), (void**)(dest))
#define csys_memory_realloc(size, dest) csys_memory_realloc_internal((size), (void**)(dest))
#define csys_memory_free(dest) csys_memory_free_internal((void**)(dest))
#define csys_memory_allocAligned(size, dest, alignment) \
  csys_memory_allocAlignedToMalloc_internal((size), (void**)(dest), (alignment))
#define csys_memory_freeAligned(dest) csys_memory_freeAlignedToMalloc((void**)(dest))
#define csys_memory_clone(size, source, dest) \
  csys_memory_clone_internal((size), (source), (void**)(dest))
#define csys_memory_clone64(size, source, dest) \
  csys_memory_clone64_internal((size), (source), (void**)(dest))

#endif /* CSYS_MEMORY_H */
