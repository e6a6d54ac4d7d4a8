// Processor instructions the core uses: identification, the time-stamp counter, and the wide,
// prefetching and non-temporal memory operations of the streaming copy. They are instructions,
// not system calls, and the same on both backends; inline, so that timer reads and copies pay no
// call for them.
#pragma once

#include <cpuid.h>
#include <emmintrin.h>
#include <x86intrin.h>

#include <cstdint>

// CPUID with a sub-leaf: eax, ebx, ecx, edx in registers[0..3].
inline void os_cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) {
  __cpuid_count(leaf, subleaf, registers[0], registers[1], registers[2], registers[3]);
}

inline uint64_t os_readTimeStampCounter() {
  return __rdtsc();
}

// 16 bytes in a vector register; loads and stores need no alignment.
using os_vector16 = __m128i;

inline os_vector16 os_load16(const void* source) {
  return _mm_loadu_si128(static_cast<const __m128i*>(source));
}

inline void os_store16(void* destination, os_vector16 value) {
  _mm_storeu_si128(static_cast<__m128i*>(destination), value);
}

// Sixteen copies of one byte.
inline os_vector16 os_broadcast16(uint8_t value) {
  return _mm_set1_epi8(static_cast<char>(value));
}

// Non-temporal stores bypass the caches: 16 bytes to a 16-byte aligned address, or 8 anywhere.
// After them, os_storeFence orders them before later stores.
inline void os_streamStore16(void* destination, os_vector16 value) {
  _mm_stream_si128(static_cast<__m128i*>(destination), value);
}

inline void os_streamStore8(void* destination, int64_t value) {
  _mm_stream_si64(static_cast<long long*>(destination), static_cast<long long>(value));
}

inline void os_storeFence() {
  _mm_sfence();
}

inline void os_prefetchNonTemporal(const void* address) {
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_NTA);
}
