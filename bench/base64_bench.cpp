// Base64 encode and decode of 1 KiB and 1 MiB into caller buffers, beside OpenSSL's block coder
// (built in when its development package is installed), and decoding text with line breaks.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "csec_base64.h"
#if PMTSYS_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::vector<uint8_t> bytesOf(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 12345;
  for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}

std::string textOf(size_t size) {
  const auto bytes = bytesOf(size);
  std::string text(bytes.size() / 3 * 4 + 5, '\0');
  csec_base64_encodeToDest(static_cast<uint32_t>(bytes.size()), bytes.data(),
                           static_cast<uint32_t>(text.size()), text.data());
  text.resize(text.find('\0'));
  return text;
}

template <typename Encode>
void encode(benchmark::State& state, Encode coder) {
  const auto bytes = bytesOf(static_cast<size_t>(state.range(0)));
  std::vector<char> text(bytes.size() / 3 * 4 + 5);
  for (auto _ : state) {
    coder(bytes, text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <typename Decode>
void decode(benchmark::State& state, Decode coder, bool lines = false) {
  std::string text = textOf(static_cast<size_t>(state.range(0)));
  if (lines) {
    for (size_t at = 76; at < text.size(); at += 78) text.insert(at, "\r\n");
  }
  std::vector<uint8_t> bytes(text.size());
  for (auto _ : state) {
    if (!coder(text, bytes)) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

bool libraryDecode(const std::string& text, std::vector<uint8_t>& bytes) {
  auto length = static_cast<uint32_t>(bytes.size());
  return csec_base64_decodeToDest(text.c_str(), &length, bytes.data()) == CSYS_OK;
}

void BM_Encode_Library(benchmark::State& state) {
  encode(state, [](const std::vector<uint8_t>& bytes, std::vector<char>& text) {
    csec_base64_encodeToDest(static_cast<uint32_t>(bytes.size()), bytes.data(),
                             static_cast<uint32_t>(text.size()), text.data());
  });
}
void BM_Decode_Library(benchmark::State& state) {
  decode(state, libraryDecode);
}
void BM_DecodeLines_Library(benchmark::State& state) {
  decode(state, libraryDecode, true);
}
BENCHMARK(BM_Encode_Library)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_Decode_Library)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_DecodeLines_Library)->Arg(1 << 10)->Arg(1 << 20);

#if PMTSYS_BENCH_OPENSSL
void BM_Encode_OpenSSL(benchmark::State& state) {
  encode(state, [](const std::vector<uint8_t>& bytes, std::vector<char>& text) {
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                    static_cast<int>(bytes.size()));
  });
}
void BM_Decode_OpenSSL(benchmark::State& state) {
  decode(state, [](const std::string& text, std::vector<uint8_t>& bytes) {
    return EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<int>(text.size())) >= 0;
  });
}
BENCHMARK(BM_Encode_OpenSSL)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_Decode_OpenSSL)->Arg(1 << 10)->Arg(1 << 20);
#endif

}  // namespace
