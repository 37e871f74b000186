// Crypto requests through `post` (transform and transform back) beside bare
// OpenSSL AES-128-CBC over the same payload bytes, in the same run. The
// service adds the routing through `post`, the random block (16 bytes of the
// calling thread's pool, refilled by one getrandom call per 64 requests),
// the identity's key (digested once per thread), moving the data by one
// block in the caller's buffer, padding removal and zeroing the buffer's
// tail. It keeps each thread's key schedule between requests, where the
// baseline expands the key on every iteration; the transform-back case also
// times restoring its input (one copy the baseline does not make).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/DvrCore.h"
#include "plugin_events.hpp"

namespace {

using km::core::EventParms;

constexpr const char* kIdentity = "4f1c9a5e0b7d4e2a9c3f8e6d1a2b3c4d";

EventParms cryptoEvent(std::vector<uint8_t>& buffer, uint32_t param, uint32_t operation) {
  EventParms e = km::core::makeEventRecord(DVR_TYPE_CRYPTO, operation);
  e.source = DVR_SOURCE_PLUGIN(3);
  e.payload = buffer.data();
  e.length = static_cast<uint32_t>(buffer.size());
  e.param = param;
  return e;
}

// A core published in theCore for the length of one benchmark.
struct PublishedCore {
  std::unique_ptr<km::core::DvrCore> core = std::make_unique<km::core::DvrCore>("/usr/lib/dvr/dvrcore");
  PublishedCore() {
    core->deviceIdentity = kIdentity;
    km::core::theCore = core.get();
  }
  ~PublishedCore() { km::core::theCore = nullptr; }
};

void ServiceTransform(benchmark::State& state) {
  PublishedCore published;
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buffer(n + 32, 'p');
  for (auto _ : state) {
    EventParms e = cryptoEvent(buffer, n, DVR_CRYPTO_TRANSFORM);
    if (km::core::post(&e) != 0) state.SkipWithError("transform refused");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// Each request needs the transformed bytes afresh: one copy per iteration.
void ServiceTransformBack(benchmark::State& state) {
  PublishedCore published;
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> stored(n + 32, 'p');
  EventParms e = cryptoEvent(stored, n, DVR_CRYPTO_TRANSFORM);
  if (km::core::post(&e) != 0) state.SkipWithError("transform refused");
  const uint32_t transformed = e.param;
  std::vector<uint8_t> buffer(stored.size());
  for (auto _ : state) {
    std::memcpy(buffer.data(), stored.data(), buffer.size());
    EventParms back = cryptoEvent(buffer, transformed, DVR_CRYPTO_TRANSFORM_BACK);
    if (km::core::post(&back) != 0) state.SkipWithError("transform back refused");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// The floor: one key set-up and one CBC pass over the payload per iteration.
void OpenSslCbc(benchmark::State& state, int encrypt) {
  const auto n = static_cast<int>(state.range(0));
  const uint8_t key[16] = {0x4f, 0x1c, 0x9a, 0x5e, 0x0b, 0x7d, 0x4e, 0x2a,
                           0x9c, 0x3f, 0x8e, 0x6d, 0x1a, 0x2b, 0x3c, 0x4d};
  const uint8_t iv[16] = {};
  std::vector<uint8_t> in(n, 'p'), out(n + 16);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  for (auto _ : state) {
    int written = 0, tail = 0;
    if (EVP_CipherInit_ex2(context, cipher, key, iv, encrypt, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context, 0) != 1 ||
        EVP_CipherUpdate(context, out.data(), &written, in.data(), n) != 1 ||
        EVP_CipherFinal_ex(context, out.data() + written, &tail) != 1)
      state.SkipWithError("openssl failed");
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_free(cipher);
  EVP_CIPHER_CTX_free(context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void OpenSslCbcEncrypt(benchmark::State& state) { OpenSslCbc(state, 1); }
void OpenSslCbcDecrypt(benchmark::State& state) { OpenSslCbc(state, 0); }

BENCHMARK(ServiceTransform)->Arg(1024)->Arg(16384);
BENCHMARK(OpenSslCbcEncrypt)->Arg(1024)->Arg(16384);
BENCHMARK(ServiceTransformBack)->Arg(1024)->Arg(16384);
BENCHMARK(OpenSslCbcDecrypt)->Arg(1024)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
