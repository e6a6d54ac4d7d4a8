// The generic vector. Every operation is built from a handful of element-range steps (initialise,
// copy-construct, fill-construct, assign, move, truncate), each of which calls the element table
// per element where it has the operation and otherwise treats the elements as plain bytes in one
// block operation. The steps keep `size` and `end` counting exactly the live elements, so a
// failing element operation leaves a vector that can still be used and destructed.
//
// Plain-byte moves call memcpy/memmove directly: the results are the same as the library's block
// copy, element moves are usually short, and the call costs less than the copy's own dispatch.
#include "cstd_vector.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "cleanup/cleanup_internal.h"

namespace {

using Byte = unsigned char;

constexpr cstd_vector_mtable kDefaultMtable{
    csys_memory_alloc_internal, csys_memory_realloc_internal, csys_memory_free_internal};
constexpr cstd_vector_vtable kPlainBytes{nullptr, nullptr, nullptr, nullptr, -1};
constexpr cstd_vector_ kDestructed{-1, -1, -1, nullptr, nullptr, nullptr, nullptr};

// A programming error reports and the operation refuses without changing anything.
#define VECTOR_REQUIRE(condition, status) \
  do {                                    \
    const bool vr_ok_ = (condition);      \
    CSYS_CHECK(vr_ok_);                   \
    if (!vr_ok_) return (status);         \
  } while (0)

enum class Fill { Default, Uninit, Copies };

const cstd_vector_vtable& ops(const cstd_vector_* v) {
  return v->vtable != nullptr ? *v->vtable : kPlainBytes;
}

Byte* at(const cstd_vector_* v, int64_t index) {
  return static_cast<Byte*>(v->begin) + index * v->elementSize;
}

size_t bytesOf(const cstd_vector_* v, int64_t count) {
  return static_cast<size_t>(count * v->elementSize);
}

void setSize(cstd_vector_* v, int64_t size) {
  v->size = size;
  v->end = at(v, size);
}

// False when the byte count of `count` elements does not fit a signed 64-bit number.
bool byteCount(int64_t count, int64_t elementSize, int64_t* bytes) {
  return !__builtin_mul_overflow(count, elementSize, bytes);
}

// The signed byte distance from `from` to `to`; the two may belong to unrelated blocks.
intptr_t distance(const void* from, const void* to) {
  return static_cast<intptr_t>(reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(from));
}

// The element count of [first, last), or -1 when the range is half null, reversed or not made
// of whole elements.
int64_t rangeCount(const void* first, const void* last, int64_t elementSize) {
  if ((first == nullptr) != (last == nullptr)) return -1;
  const intptr_t bytes = distance(first, last);
  return (bytes < 0 || bytes % elementSize != 0) ? -1 : bytes / elementSize;
}

// The index of an element address within [begin, end], or -1.
int64_t indexOf(const cstd_vector_* v, const void* element) {
  const intptr_t offset = distance(v->begin, element);
  if (offset < 0 || offset % v->elementSize != 0 || offset / v->elementSize > v->size) return -1;
  return offset / v->elementSize;
}

// Constructed and not destructed since.
bool usable(const cstd_vector_* v) {
  return v != nullptr && v->mtable != nullptr;
}

bool inside(const cstd_vector_* v, const void* address) {
  return v->begin != nullptr && distance(v->begin, address) >= 0 && distance(address, v->end) >= 0;
}

// A pushed element of a size other than 4 or 8, reached by a tail call so that the push's fast
// path needs no stack frame.
[[gnu::noinline]] csys_status copyPushed(void* dest, const void* source, int64_t elementSize) {
  std::memcpy(dest, source, static_cast<size_t>(elementSize));
  return CSYS_OK;
}

csys_status initialiseTo(cstd_vector_* v, int64_t n) {
  const cstd_vector_vtable& element = ops(v);
  if (element.construct != nullptr) {
    for (; v->size < n; setSize(v, v->size + 1)) {
      CSYS_RETURN_IF_FAILED(element.construct(at(v, v->size), v->mtable));
    }
    return CSYS_OK;
  }
  CSYS_CHECK(element.fillByte < 256);
  if (element.fillByte >= 0 && element.fillByte < 256 && n > v->size) {
    std::memset(at(v, v->size), element.fillByte, bytesOf(v, n - v->size));
  }
  setSize(v, n);
  return CSYS_OK;
}

// Copy-constructs the elements from index `size` up to n from the block at `source`.
csys_status copyConstructTo(cstd_vector_* v, int64_t n, const void* source) {
  const auto copy = ops(v).constructCopy;
  const auto* from = static_cast<const Byte*>(source);
  if (copy != nullptr) {
    for (; v->size < n; setSize(v, v->size + 1), from += v->elementSize) {
      CSYS_RETURN_IF_FAILED(copy(at(v, v->size), from));
    }
    return CSYS_OK;
  }
  if (n > v->size) std::memcpy(at(v, v->size), from, bytesOf(v, n - v->size));
  setSize(v, n);
  return CSYS_OK;
}

csys_status fillConstructTo(cstd_vector_* v, int64_t n, const void* element) {
  const auto copy = ops(v).constructCopy;
  if (copy != nullptr) {
    for (; v->size < n; setSize(v, v->size + 1)) {
      CSYS_RETURN_IF_FAILED(copy(at(v, v->size), element));
    }
    return CSYS_OK;
  }
  if (n > v->size) {
    CSYS_RETURN_IF_FAILED(
        csys_memory_fillBlock(element, v->elementSize, n - v->size, at(v, v->size)));
  }
  setSize(v, n);
  return CSYS_OK;
}

// Assigns k live elements at `dest` from `source`, from the first.
csys_status assignRange(cstd_vector_* v, Byte* dest, const Byte* source, int64_t k) {
  const auto assign = ops(v).assign;
  if (assign == nullptr) {
    // memmove gives the copy's result where the ranges are apart and stays right where they
    // overlap.
    if (k > 0) std::memmove(dest, source, bytesOf(v, k));
    return CSYS_OK;
  }
  for (int64_t i = 0; i < k; ++i) {
    CSYS_RETURN_IF_FAILED(assign(dest + i * v->elementSize, source + i * v->elementSize));
  }
  return CSYS_OK;
}

// Moves k elements from index s to index d, in the order that reads each before it is
// overwritten.
csys_status moveWithin(cstd_vector_* v, int64_t s, int64_t d, int64_t k) {
  CSYS_CHECK(k >= 0 && s >= 0 && d >= 0 && s + k <= v->size && d + k <= v->size);
  const auto assign = ops(v).assign;
  if (k == 0 || s == d) return CSYS_OK;
  if (assign == nullptr || d < s) return assignRange(v, at(v, d), at(v, s), k);
  for (int64_t i = k - 1; i >= 0; --i) CSYS_RETURN_IF_FAILED(assign(at(v, d + i), at(v, s + i)));
  return CSYS_OK;
}

// An element whose destruct fails still counts as gone; the loop stops there.
csys_status truncateTo(cstd_vector_* v, int64_t n) {
  CSYS_CHECK(n >= 0 && n <= v->size);
  const auto destruct = ops(v).destruct;
  if (destruct == nullptr) {
    setSize(v, n);
    return CSYS_OK;
  }
  while (v->size > n) {
    const csys_status status = destruct(at(v, v->size - 1));
    setSize(v, v->size - 1);
    CSYS_RETURN_IF_FAILED(status);
  }
  return CSYS_OK;
}

// Destructs past elements whose destruct fails, so that a vector the caller never receives holds
// nothing afterwards; returns the first failure. Typed as a cleanup entry's object function.
csys_status destructFully(void* vector) {
  auto* v = static_cast<cstd_vector_*>(vector);
  csys_status status = CSYS_OK;
  // Each failed attempt destroys at least one element or stops (a free that failed).
  for (int64_t before = INT64_MAX; v->mtable != nullptr && v->size < before;) {
    before = v->size;
    csys_mergeStatus(&status, cstd_vector__destruct(v));
  }
  return status;
}

// Every constructor. Storage for at least `capacity` elements; with a source range of count
// elements they are copied, a source of one element is copied count times, and without one count
// elements are initialised (or not, for `initialise` false).
csys_status constructCore(cstd_vector_* v, int64_t count, int64_t elementSize,
                          const cstd_vector_vtable* vtable, const cstd_vector_mtable* mtable,
                          int64_t capacity, const void* first, const void* last, bool initialise) {
  VECTOR_REQUIRE(v != nullptr, CSYS_E_INVALID_ARGUMENT);
  VECTOR_REQUIRE(count >= 0 && capacity >= 0, CSYS_E_NEGATIVE_SIZE);
  VECTOR_REQUIRE(elementSize >= 1, CSYS_E_INVALID_ARGUMENT);
  if (mtable == nullptr) mtable = &kDefaultMtable;
  VECTOR_REQUIRE(mtable->alloc != nullptr && mtable->free != nullptr, CSYS_E_INVALID_ARGUMENT);
  const int64_t sourceCount = rangeCount(first, last, elementSize);
  VECTOR_REQUIRE(sourceCount >= 0, CSYS_E_INVALID_ARGUMENT);
  const bool fromSource = first != nullptr && count != 0;
  VECTOR_REQUIRE(!fromSource || sourceCount == count || sourceCount == 1, CSYS_E_INVALID_ARGUMENT);
  if (!initialise && vtable != nullptr && vtable->destruct != nullptr) return CSYS_E_FAIL;

  *v = cstd_vector_{0, 0, elementSize, nullptr, nullptr, vtable, mtable};
  capacity = std::max(capacity, count);
  // The default allocator gives nothing for 0 bytes: an empty vector acquires nothing and needs
  // no frame. A caller's allocator is asked even for 0 bytes.
  if (capacity == 0 && mtable->alloc == kDefaultMtable.alloc) return CSYS_OK;
  CleanupFrame<1> frame;
  frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, v, destructFully);
  int64_t bytes = 0;
  if (!byteCount(capacity, elementSize, &bytes)) return frame.fail(CSYS_E_NEGATIVE_SIZE);
  if (!frame.call(csys_memory_alloc64UsingFunc(bytes, &v->begin, mtable->alloc))) {
    return frame.close();
  }
  v->capacity = capacity;
  setSize(v, 0);
  if (fromSource) {
    frame.call(sourceCount == count ? copyConstructTo(v, count, first)
                                    : fillConstructTo(v, count, first));
  } else if (initialise) {
    frame.call(initialiseTo(v, count));
  } else {
    setSize(v, count);
  }
  return frame.close();
}

csys_status fillConstruct(cstd_vector_* v, int64_t count, int64_t elementSize, const void* element,
                          const cstd_vector_vtable* vtable) {
  VECTOR_REQUIRE(element != nullptr || count == 0, CSYS_E_INVALID_ARGUMENT);
  VECTOR_REQUIRE(elementSize >= 1, CSYS_E_INVALID_ARGUMENT);
  const void* last = element != nullptr ? static_cast<const Byte*>(element) + elementSize : nullptr;
  return constructCore(v, count, elementSize, vtable, nullptr, count, element, last, true);
}

csys_status blockConstruct(cstd_vector_* v, int64_t elementSize, const void* first,
                           const void* last, const cstd_vector_vtable* vtable,
                           const cstd_vector_mtable* mtable) {
  VECTOR_REQUIRE(elementSize >= 1, CSYS_E_INVALID_ARGUMENT);
  const int64_t count = rangeCount(first, last, elementSize);
  VECTOR_REQUIRE(count >= 0, CSYS_E_INVALID_ARGUMENT);
  return constructCore(v, count, elementSize, vtable, mtable, count, first, last, true);
}

csys_status reserveExactly(cstd_vector_* v, int64_t capacity) {
  if (capacity <= v->capacity) return CSYS_OK;
  int64_t bytes = 0;
  if (!byteCount(capacity, v->elementSize, &bytes)) return CSYS_E_NEGATIVE_SIZE;
  if (v->mtable->realloc != nullptr && v->vtable == nullptr) {
    CSYS_RETURN_IF_FAILED(csys_memory_realloc64UsingFunc(bytes, &v->begin, v->mtable->realloc));
    v->capacity = capacity;
    setSize(v, v->size);
    return CSYS_OK;
  }
  // Elements with operations are copied into new storage; the old ones go with the old record.
  cstd_vector_ grown;
  CSYS_RETURN_IF_FAILED(constructCore(&grown, v->size, v->elementSize, v->vtable, v->mtable,
                                      capacity, v->begin, v->end, true));
  std::swap(*v, grown);
  return destructFully(&grown);
}

// Growth to hold n: the smallest power of two from 1 up, or n itself where that would not fit.
int64_t grownCapacity(int64_t n) {
  constexpr int64_t kLargestPower = INT64_C(1) << 62;
  return n > kLargestPower ? n : static_cast<int64_t>(std::bit_ceil(static_cast<uint64_t>(n)));
}

csys_status resizeTo(cstd_vector_* v, int64_t n, Fill fill, const void* element) {
  VECTOR_REQUIRE(usable(v), CSYS_E_INVALID_ARGUMENT);
  VECTOR_REQUIRE(n >= 0, CSYS_E_NEGATIVE_SIZE);
  VECTOR_REQUIRE(fill != Fill::Copies || element != nullptr || n == 0, CSYS_E_INVALID_ARGUMENT);
  if (fill == Fill::Uninit && ops(v).destruct != nullptr) return CSYS_E_FAIL;
  if (n > v->capacity) {
    // An element of this vector moves with its storage: found again by its offset.
    const bool own = element != nullptr && inside(v, element);
    const intptr_t offset = own ? distance(v->begin, element) : 0;
    CSYS_RETURN_IF_FAILED(reserveExactly(v, grownCapacity(n)));
    if (own) element = static_cast<const Byte*>(v->begin) + offset;
  }
  if (n < v->size) return truncateTo(v, n);
  switch (fill) {
    case Fill::Default:
      return initialiseTo(v, n);
    case Fill::Copies:
      return fillConstructTo(v, n, element);
    case Fill::Uninit:
      break;
  }
  setSize(v, n);
  return CSYS_OK;
}

csys_status insertAt(cstd_vector_* v, int64_t index, const void* first, int64_t n) {
  const int64_t tail = v->size - index;
  CSYS_RETURN_IF_FAILED(resizeTo(v, v->size + n, Fill::Default, nullptr));
  CSYS_RETURN_IF_FAILED(moveWithin(v, index, index + n, tail));
  return assignRange(v, at(v, index), static_cast<const Byte*>(first), n);
}

template <typename Pointer>
csys_status getElement(const cstd_vector_* v, int64_t index, Pointer* element) {
  if (v == nullptr || element == nullptr || index < 0 || index >= v->size) return CSYS_E_FAIL;
  *element = at(v, index);
  return CSYS_OK;
}

template <typename Pointer>
csys_status getBeginEnd(const cstd_vector_* v, Pointer* begin, Pointer* end) {
  if (v == nullptr || (begin == nullptr && end == nullptr)) return CSYS_E_FAIL;
  if (begin != nullptr) *begin = v->begin;
  if (end != nullptr) *end = v->end;
  return CSYS_OK;
}

template <typename Value>
csys_status getField(const cstd_vector_* v, Value* out, int64_t cstd_vector_::*field) {
  VECTOR_REQUIRE(v != nullptr && out != nullptr, CSYS_E_INVALID_ARGUMENT);
  if (v->*field > INT32_MAX && sizeof(Value) < sizeof(int64_t)) return CSYS_E_FAIL;
  *out = static_cast<Value>(v->*field);
  return CSYS_OK;
}

// Stores begin first, so that a size too large for 32 bits still leaves it stored.
template <typename Pointer, typename Size>
csys_status getBeginSize(const cstd_vector_* v, Pointer* begin, Size* size) {
  VECTOR_REQUIRE(v != nullptr && begin != nullptr, CSYS_E_INVALID_ARGUMENT);
  *begin = v->begin;
  return getField(v, size, &cstd_vector_::size);
}

// Out of line, so that the push's fast path needs no saved registers.
[[gnu::noinline]] csys_status pushBackSlow(cstd_vector_* v, const void* element) {
  return resizeTo(v, v != nullptr ? v->size + 1 : 0, Fill::Copies, element);
}

}  // namespace

extern "C" {

CSYS_API csys_status cstd_vector__construct(cstd_vector_* v, int64_t count, int64_t elementSize) {
  return constructCore(v, count, elementSize, nullptr, nullptr, count, nullptr, nullptr, true);
}

CSYS_API csys_status cstd_vector__constructWithVtable(cstd_vector_* v, int64_t count,
                                                      int64_t elementSize,
                                                      const cstd_vector_vtable* vtable) {
  return constructCore(v, count, elementSize, vtable, nullptr, count, nullptr, nullptr, true);
}

CSYS_API csys_status cstd_vector__constructWithVtableWithMtable(cstd_vector_* v, int64_t count,
                                                                int64_t elementSize,
                                                                const cstd_vector_vtable* vtable,
                                                                const cstd_vector_mtable* mtable) {
  return constructCore(v, count, elementSize, vtable, mtable, count, nullptr, nullptr, true);
}

CSYS_API csys_status cstd_vector__constructWithVtableUninit(cstd_vector_* v, int64_t count,
                                                            int64_t elementSize,
                                                            const cstd_vector_vtable* vtable) {
  return constructCore(v, count, elementSize, vtable, nullptr, count, nullptr, nullptr, false);
}

CSYS_API csys_status cstd_vector__constructFill(cstd_vector_* v, int64_t count, int64_t elementSize,
                                                const void* element) {
  return fillConstruct(v, count, elementSize, element, nullptr);
}

CSYS_API csys_status cstd_vector__constructFillWithVtable(cstd_vector_* v, int64_t count,
                                                          int64_t elementSize, const void* element,
                                                          const cstd_vector_vtable* vtable) {
  return fillConstruct(v, count, elementSize, element, vtable);
}

CSYS_API csys_status cstd_vector__constructFromBlock(cstd_vector_* v, int64_t elementSize,
                                                     const void* first, const void* last) {
  return blockConstruct(v, elementSize, first, last, nullptr, nullptr);
}

CSYS_API csys_status cstd_vector__constructFromBlockWithVtable(cstd_vector_* v, int64_t elementSize,
                                                               const void* first, const void* last,
                                                               const cstd_vector_vtable* vtable) {
  return blockConstruct(v, elementSize, first, last, vtable, nullptr);
}

CSYS_API csys_status cstd_vector__constructFromBlockWithVtableWithMtable(
    cstd_vector_* v, int64_t elementSize, const void* first, const void* last,
    const cstd_vector_vtable* vtable, const cstd_vector_mtable* mtable) {
  return blockConstruct(v, elementSize, first, last, vtable, mtable);
}

CSYS_API csys_status cstd_vector__constructCopy(cstd_vector_* v, const cstd_vector_* source) {
  VECTOR_REQUIRE(source != nullptr, CSYS_E_INVALID_ARGUMENT);
  return constructCore(v, source->size, source->elementSize, source->vtable, source->mtable,
                       source->size, source->begin, source->end, true);
}

// A destructed record (no memory table) stays as it is: destruction is idempotent.
CSYS_API csys_status cstd_vector__destruct(cstd_vector_* v) {
  VECTOR_REQUIRE(v != nullptr, CSYS_E_INVALID_ARGUMENT);
  if (v->mtable == nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(truncateTo(v, 0));
  if (v->begin != nullptr) CSYS_RETURN_IF_FAILED(v->mtable->free(&v->begin));
  *v = kDestructed;
  return CSYS_OK;
}

CSYS_API csys_status cstd_vector__assign(cstd_vector_* dest, const cstd_vector_* source) {
  VECTOR_REQUIRE(dest != nullptr && source != nullptr, CSYS_E_INVALID_ARGUMENT);
  if (dest == source) return CSYS_OK;
  if (dest->elementSize != source->elementSize) return CSYS_E_FAIL;
  return cstd_vector__assignElements(dest, source->begin, source->end);
}

CSYS_API csys_status cstd_vector__assignElements(cstd_vector_* v, const void* first,
                                                 const void* last) {
  VECTOR_REQUIRE(usable(v), CSYS_E_INVALID_ARGUMENT);
  if (first == v->begin && last == v->end) return CSYS_OK;
  const int64_t n = rangeCount(first, last, v->elementSize);
  VECTOR_REQUIRE(n >= 0, CSYS_E_INVALID_ARGUMENT);
  const int64_t m = v->size;
  const auto* source = static_cast<const Byte*>(first);
  const cstd_vector_mtable& memory = *v->mtable;
  if (n == 0) return cstd_vector__clear(v);
  if (n > m && n > v->capacity && (memory.realloc == nullptr || v->vtable != nullptr)) {
    CSYS_RETURN_IF_FAILED(truncateTo(v, 0));
    CSYS_RETURN_IF_FAILED(memory.free(&v->begin));
    v->capacity = 0;
    setSize(v, 0);
    CSYS_RETURN_IF_FAILED(memory.alloc(static_cast<intptr_t>(n * v->elementSize), &v->begin));
    v->capacity = n;
    setSize(v, 0);
    return copyConstructTo(v, n, source);
  }
  if (n > m) {
    if (n > v->capacity) {
      CSYS_RETURN_IF_FAILED(memory.realloc(static_cast<intptr_t>(n * v->elementSize), &v->begin));
      v->capacity = n;
      setSize(v, m);
    }
    CSYS_RETURN_IF_FAILED(assignRange(v, at(v, 0), source, m));
    return copyConstructTo(v, n, source + m * v->elementSize);
  }
  CSYS_RETURN_IF_FAILED(assignRange(v, at(v, 0), source, n));
  return truncateTo(v, n);
}

CSYS_API csys_status cstd_vector__resize(cstd_vector_* v, int64_t newSize) {
  return resizeTo(v, newSize, Fill::Default, nullptr);
}

CSYS_API csys_status cstd_vector__resizeUninit(cstd_vector_* v, int64_t newSize) {
  return resizeTo(v, newSize, Fill::Uninit, nullptr);
}

CSYS_API csys_status cstd_vector__resizeFill(cstd_vector_* v, int64_t newSize,
                                             const void* element) {
  return resizeTo(v, newSize, Fill::Copies, element);
}

CSYS_API csys_status cstd_vector__reserve(cstd_vector_* v, int64_t capacity) {
  VECTOR_REQUIRE(usable(v), CSYS_E_INVALID_ARGUMENT);
  VECTOR_REQUIRE(capacity >= 0, CSYS_E_NEGATIVE_SIZE);
  return reserveExactly(v, capacity);
}

CSYS_API csys_status cstd_vector__clear(cstd_vector_* v) {
  return cstd_vector__resize(v, 0);
}

CSYS_API csys_status cstd_vector__clearAndFreeMemory(cstd_vector_* v) {
  CSYS_RETURN_IF_FAILED(cstd_vector__clear(v));
  if (v->begin != nullptr) CSYS_RETURN_IF_FAILED(v->mtable->free(&v->begin));
  v->capacity = 0;
  setSize(v, 0);
  CSYS_RETURN_IF_FAILED(v->mtable->alloc(0, &v->begin));
  setSize(v, 0);
  return CSYS_OK;
}

// Room left and plain bytes: the one copy resizeFill would make, without its checks.
CSYS_API csys_status cstd_vector__pushBack(cstd_vector_* v, const void* element) {
  if (v == nullptr || element == nullptr || v->size >= v->capacity ||
      (v->vtable != nullptr && v->vtable->constructCopy != nullptr)) {
    return pushBackSlow(v, element);
  }
  // The element is copied after the count grows: the copy cannot fail, and a source inside the
  // vector lies below the old end either way.
  auto* const end = static_cast<Byte*>(v->end);
  const int64_t elementSize = v->elementSize;
  ++v->size;
  v->end = end + elementSize;
  switch (elementSize) {  // the common sizes as single moves
    case 4:
      std::memcpy(end, element, 4);
      return CSYS_OK;
    case 8:
      std::memcpy(end, element, 8);
      return CSYS_OK;
    default:
      return copyPushed(end, element, elementSize);
  }
}

CSYS_API csys_status cstd_vector__popBack(cstd_vector_* v) {
  VECTOR_REQUIRE(v != nullptr && v->size >= 1, CSYS_E_INVALID_ARGUMENT);
  return cstd_vector__resize(v, v->size - 1);
}

CSYS_API csys_status cstd_vector__insert(cstd_vector_* v, void* position, const void* first,
                                         const void* last) {
  VECTOR_REQUIRE(usable(v), CSYS_E_INVALID_ARGUMENT);
  VECTOR_REQUIRE(position != nullptr || v->begin == nullptr, CSYS_E_INVALID_ARGUMENT);
  if (first == last) return CSYS_OK;
  const int64_t n = rangeCount(first, last, v->elementSize);
  const int64_t index = indexOf(v, position);
  VECTOR_REQUIRE(n >= 0 && index >= 0, CSYS_E_INVALID_ARGUMENT);
  if (!inside(v, first) && !inside(v, last)) return insertAt(v, index, first, n);
  // The vector may move or overwrite its own elements on the way: insert from a copy.
  CleanupFrame<1> frame;
  cstd_vector_ copy;
  if (frame.call(
          constructCore(&copy, n, v->elementSize, v->vtable, v->mtable, n, first, last, true))) {
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &copy, destructFully);
    frame.call(insertAt(v, index, copy.begin, n));
  }
  return frame.close();
}

CSYS_API csys_status cstd_vector__insertElement(cstd_vector_* v, void* position,
                                                const void* element) {
  VECTOR_REQUIRE(v != nullptr && element != nullptr, CSYS_E_INVALID_ARGUMENT);
  return cstd_vector__insert(v, position, element,
                             static_cast<const Byte*>(element) + v->elementSize);
}

CSYS_API csys_status cstd_vector__erase(cstd_vector_* v, void* first, void* last) {
  VECTOR_REQUIRE(usable(v) && first != nullptr && last != nullptr, CSYS_E_INVALID_ARGUMENT);
  if (first == last) return CSYS_OK;
  const int64_t f = indexOf(v, first);
  const int64_t l = indexOf(v, last);
  VECTOR_REQUIRE(f >= 0 && l >= f, CSYS_E_INVALID_ARGUMENT);
  CSYS_RETURN_IF_FAILED(moveWithin(v, l, f, v->size - l));
  return truncateTo(v, v->size - (l - f));
}

CSYS_API csys_status cstd_vector__eraseElement(cstd_vector_* v, void* position) {
  VECTOR_REQUIRE(v != nullptr && position != nullptr, CSYS_E_INVALID_ARGUMENT);
  return cstd_vector__erase(v, position, static_cast<Byte*>(position) + v->elementSize);
}

CSYS_API csys_status cstd_vector__append(cstd_vector_* v, const cstd_vector_* source) {
  VECTOR_REQUIRE(usable(v) && source != nullptr, CSYS_E_INVALID_ARGUMENT);
  if (v->begin == nullptr) return cstd_vector__assign(v, source);
  if (source->begin == nullptr) return CSYS_OK;
  return cstd_vector__insert(v, v->end, source->begin, source->end);
}

CSYS_API csys_status cstd_vector__swap(cstd_vector_* a, cstd_vector_* b) {
  VECTOR_REQUIRE(a != nullptr && b != nullptr, CSYS_E_INVALID_ARGUMENT);
  std::swap(*a, *b);
  return CSYS_OK;
}

CSYS_API csys_status cstd_vector__compareEqual(const cstd_vector_* a, const cstd_vector_* b,
                                               uint32_t* equal, cstd_vector_compareFunc compare) {
  VECTOR_REQUIRE(a != nullptr && b != nullptr && equal != nullptr && compare != nullptr,
                 CSYS_E_INVALID_ARGUMENT);
  *equal = 1;
  if (a->size != b->size || a->vtable != b->vtable || a->elementSize != b->elementSize) {
    *equal = 0;
    return CSYS_OK;
  }
  for (int64_t i = 0; i < a->size && *equal != 0; ++i) {
    CSYS_RETURN_IF_FAILED(compare(at(a, i), at(b, i), equal));
  }
  return CSYS_OK;
}

CSYS_API csys_status cstd_vector__getSize(const cstd_vector_* v, int64_t* size) {
  return getField(v, size, &cstd_vector_::size);
}

CSYS_API csys_status cstd_vector__getSize32(const cstd_vector_* v, int32_t* size) {
  return getField(v, size, &cstd_vector_::size);
}

CSYS_API csys_status cstd_vector__getCapacity(const cstd_vector_* v, int64_t* capacity) {
  return getField(v, capacity, &cstd_vector_::capacity);
}

CSYS_API csys_status cstd_vector__getElementSize(const cstd_vector_* v, int64_t* elementSize) {
  return getField(v, elementSize, &cstd_vector_::elementSize);
}

CSYS_API csys_status cstd_vector__getBeginEnd(cstd_vector_* v, void** begin, void** end) {
  return getBeginEnd(v, begin, end);
}

CSYS_API csys_status cstd_vector__getBeginEndConst(const cstd_vector_* v, const void** begin,
                                                   const void** end) {
  return getBeginEnd(v, begin, end);
}

CSYS_API csys_status cstd_vector__getBeginSize(cstd_vector_* v, void** begin, int64_t* size) {
  return getBeginSize(v, begin, size);
}

CSYS_API csys_status cstd_vector__getBeginSizeConst(const cstd_vector_* v, const void** begin,
                                                    int64_t* size) {
  return getBeginSize(v, begin, size);
}

CSYS_API csys_status cstd_vector__getBeginSize32(cstd_vector_* v, void** begin, int32_t* size) {
  return getBeginSize(v, begin, size);
}

CSYS_API csys_status cstd_vector__getBeginSize32Const(const cstd_vector_* v, const void** begin,
                                                      int32_t* size) {
  return getBeginSize(v, begin, size);
}

CSYS_API csys_status cstd_vector__getElement(cstd_vector_* v, int64_t index, void** element) {
  return getElement(v, index, element);
}

CSYS_API csys_status cstd_vector__getElementConst(const cstd_vector_* v, int64_t index,
                                                  const void** element) {
  return getElement(v, index, element);
}

}  // extern "C"
