// A byte script of vector operations on a cstd_vector_ and a std::vector model, checking after each
// step that they agree, the record holds and each element the vector counts is constructed once.
#pragma once

#include <cstdint>
#include <vector>

#include "cstd_vector.h"
#include "diag/check.h"

namespace vector_script {

struct Element {
  uint32_t alive;
  int32_t value;
};
constexpr uint32_t kAlive = 0xA11CE;
constexpr csys_status kInjected = CSYS_STATUS(0x80000777u);

// The element table's view of the world: constructed elements, calls made, the call to fail
// (0: none) and the broken rules seen.
inline int64_t live, calls, failAt, violations;

inline Element& at(const void* element) {
  return *static_cast<Element*>(const_cast<void*>(element));
}
// Counts a call whose given elements must be live (unconstructed storage may hold anything).
inline csys_status enter(const void* a, const void* b = nullptr) {
  for (const void* e : {a, b}) violations += e != nullptr && at(e).alive != kAlive;
  return ++calls == failAt ? kInjected : CSYS_OK;
}
// Copy-constructs, or default-constructs (value 0) without a source.
inline csys_status make(void* dest, const void* source) {
  CSYS_RETURN_IF_FAILED(enter(source));
  at(dest) = Element{kAlive, source != nullptr ? at(source).value : 0};
  ++live;
  return CSYS_OK;
}
inline csys_status assign(void* dest, const void* source) {
  at(dest).value = at(source).value;
  return enter(dest, source);
}
// A failing destruct still destroys: the vector counts the element as gone.
inline csys_status destruct(void* dest) {
  const csys_status status = enter(dest);
  at(dest).alive = 0;
  --live;
  return status;
}

constexpr cstd_vector_vtable kCounted{
    [](void* dest, const cstd_vector_mtable*) { return make(dest, nullptr); }, make, assign,
    destruct, -1};
constexpr cstd_vector_vtable kZeroed{nullptr, nullptr, nullptr, nullptr, 0};

inline csys_status compareValues(const void* a, const void* b, uint32_t* equal) {
  *equal = *equal && at(a).value == at(b).value;
  return CSYS_OK;
}

inline std::vector<int32_t> values(const cstd_vector_& v) {
  std::vector<int32_t> out;
  for (int64_t i = 0; i < v.size; ++i) out.push_back(static_cast<const Element*>(v.begin)[i].value);
  return out;
}

// One step: an operation byte and three argument bytes.
inline csys_status step(cstd_vector_& v, std::vector<int32_t>& model, const uint8_t* s) {
  const int64_t n = v.size;
  auto* e = static_cast<Element*>(v.begin);
  const auto index = [n](uint8_t x) { return static_cast<int64_t>(x) % (n + 1); };
  const int64_t lo = index(s[1]);
  const int64_t hi = lo + static_cast<int64_t>(s[2]) % (n - lo + 1);
  const auto mlo = model.begin() + lo, mhi = model.begin() + hi;
  const Element x{kAlive, s[0] * 256 + s[1]};
  std::vector<Element> outside(s[1] % 8u, x);
  switch (s[0] % 11) {
    case 0:
      model.push_back(x.value);
      return cstd_vector__pushBack(&v, &x);
    case 1:
      if (n > 0) model.pop_back();
      return n > 0 ? cstd_vector__popBack(&v) : CSYS_OK;
    case 2: {
      const std::vector<int32_t> copied(mlo, mhi);
      model.insert(model.begin() + index(s[3]), copied.begin(), copied.end());
      return cstd_vector__insert(&v, e + index(s[3]), e + lo, e + hi);
    }
    case 3:
      model.erase(mlo, mhi);
      return e != nullptr ? cstd_vector__erase(&v, e + lo, e + hi) : CSYS_OK;
    case 4:
      model.resize(s[1] % 40u, 0);
      return cstd_vector__resize(&v, s[1] % 40);
    case 5:
      return cstd_vector__reserve(&v, s[1]);
    case 6:
      model.assign(outside.size(), x.value);
      return cstd_vector__assignElements(&v, outside.data(), outside.data() + outside.size());
    case 7:
      if (n > 512) return CSYS_OK;  // doubling stays small
      model.insert(model.end(), model.begin(), model.begin() + n);
      return cstd_vector__append(&v, &v);
    case 8:
      model.clear();
      return cstd_vector__clearAndFreeMemory(&v);
    case 9:
      failAt = calls + 1 + s[1] % 8;
      return CSYS_OK;
    default: {
      cstd_vector_ copy;
      CSYS_RETURN_IF_FAILED(cstd_vector__constructCopy(&copy, &v));
      uint32_t equal = 0;
      csys_status status = cstd_vector__compareEqual(&v, &copy, &equal, compareValues);
      if (CSYS_SUCCEEDED(status) && !equal) ++violations;
      if (CSYS_SUCCEEDED(status)) status = cstd_vector__swap(&v, &copy);
      // A failed destruct leaves the rest for another call; injected failures are one-shot.
      const csys_status destructed = cstd_vector__destruct(&copy);
      if (CSYS_FAILED(destructed)) cstd_vector__destruct(&copy);
      return CSYS_FAILED(status) ? status : destructed;
    }
  }
}

// Runs a script on a vector with the given table; returns the first failure other than the
// injected ones (after which the model is taken from the vector, whose invariants must hold).
inline csys_status run(const uint8_t* data, size_t size, const cstd_vector_vtable* table) {
  const bool counted = table == &kCounted;
  failAt = 0;
  cstd_vector_ v;
  std::vector<int32_t> model;
  csys_status status = cstd_vector__constructWithVtable(&v, 0, sizeof(Element), table);
  for (size_t i = 0; CSYS_SUCCEEDED(status) && i + 4 <= size; i += 4) {
    status = step(v, model, data + i);
    if (CSYS_FAILED(status)) model = values(v);
    if (status == kInjected) status = CSYS_OK;
    violations += v.size > v.capacity || v.end != static_cast<Element*>(v.begin) + v.size ||
                  values(v) != model || (counted && live != v.size);
  }
  failAt = 0;
  if (v.mtable != nullptr && CSYS_FAILED(cstd_vector__destruct(&v))) ++violations;
  if (counted && live != 0) ++violations;
  return status;
}

}  // namespace vector_script
