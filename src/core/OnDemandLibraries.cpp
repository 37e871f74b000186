// libcrypto and zlib, opened by the first call that needs them.
//
// Only the crypto service and the transform's compression use them, and an
// idle core never does: mapped and relocated at start, libcrypto alone costs
// about 1.4 MiB resident, 0.4 MiB of it private dirty (its relocated tables),
// for the life of the process. This file is linked into the dvrcore executable
// only, whose link drops libraries it does not need (--as-needed). It defines
// every entry point of the two libraries that the core calls; each one opens
// its library once, on first use, and forwards to it. Tests and tools link the
// libraries as usual.
//
// When a library cannot be opened, its calls fail the way the library reports
// failure (no context, no cipher, 0, Z_MEM_ERROR), which their callers handle.
// A new call into either library must get a forwarder here, or the library is
// mapped at start again (the footprint test of the real executable notices).
#include <dlfcn.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <zlib.h>

#define DVR_STRINGIFY_VALUE(x) #x
#define DVR_STRINGIFY(x) DVR_STRINGIFY_VALUE(x)

namespace {

// The sonames the executable would otherwise have named as needed.
constexpr const char* kCryptoLibrary = "libcrypto.so." DVR_STRINGIFY(OPENSSL_VERSION_MAJOR);
constexpr const char* kZlibLibrary = "libz.so.1";

// The library's handle, opened once for the process and never closed
// (RTLD_LOCAL: its symbols serve these forwarders only); null when it cannot
// be opened. Thread-safe.
void* cryptoLibrary() noexcept {
  static void* const handle = dlopen(kCryptoLibrary, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

void* zlibLibrary() noexcept {
  static void* const handle = dlopen(kZlibLibrary, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

template <typename Function>
Function* entryPoint(void* library, const char* name) noexcept {
  return library ? reinterpret_cast<Function*>(dlsym(library, name)) : nullptr;
}

}  // namespace

// Defined for this executable's own calls only, never exported: the libraries
// themselves must keep calling their own entry points.
#define DVR_FORWARDER __attribute__((visibility("hidden")))

// `target`: the library's own entry point of the same name, looked up once.
#define DVR_TARGET(library, name) static auto* const target = entryPoint<decltype(name)>(library(), #name)

extern "C" {

DVR_FORWARDER EVP_CIPHER_CTX* EVP_CIPHER_CTX_new(void) {
  DVR_TARGET(cryptoLibrary, EVP_CIPHER_CTX_new);
  return target ? target() : nullptr;
}

DVR_FORWARDER void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX* context) {
  DVR_TARGET(cryptoLibrary, EVP_CIPHER_CTX_free);
  if (target) target(context);
}

DVR_FORWARDER int EVP_CIPHER_CTX_set_padding(EVP_CIPHER_CTX* context, int pad) {
  DVR_TARGET(cryptoLibrary, EVP_CIPHER_CTX_set_padding);
  return target ? target(context, pad) : 0;
}

DVR_FORWARDER EVP_CIPHER* EVP_CIPHER_fetch(OSSL_LIB_CTX* libraryContext, const char* algorithm, const char* properties) {
  DVR_TARGET(cryptoLibrary, EVP_CIPHER_fetch);
  return target ? target(libraryContext, algorithm, properties) : nullptr;
}

DVR_FORWARDER const EVP_CIPHER* EVP_aes_128_cbc(void) {
  DVR_TARGET(cryptoLibrary, EVP_aes_128_cbc);
  return target ? target() : nullptr;
}

DVR_FORWARDER int EVP_CipherInit_ex2(EVP_CIPHER_CTX* context, const EVP_CIPHER* cipher, const unsigned char* key,
                       const unsigned char* iv, int encrypt, const OSSL_PARAM parameters[]) {
  DVR_TARGET(cryptoLibrary, EVP_CipherInit_ex2);
  return target ? target(context, cipher, key, iv, encrypt, parameters) : 0;
}

DVR_FORWARDER int EVP_CipherUpdate(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength, const unsigned char* in,
                     int inLength) {
  DVR_TARGET(cryptoLibrary, EVP_CipherUpdate);
  return target ? target(context, out, outLength, in, inLength) : 0;
}

DVR_FORWARDER int EVP_CipherFinal_ex(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength) {
  DVR_TARGET(cryptoLibrary, EVP_CipherFinal_ex);
  return target ? target(context, out, outLength) : 0;
}

DVR_FORWARDER EVP_MD* EVP_MD_fetch(OSSL_LIB_CTX* libraryContext, const char* algorithm, const char* properties) {
  DVR_TARGET(cryptoLibrary, EVP_MD_fetch);
  return target ? target(libraryContext, algorithm, properties) : nullptr;
}

DVR_FORWARDER const EVP_MD* EVP_sha256(void) {
  DVR_TARGET(cryptoLibrary, EVP_sha256);
  return target ? target() : nullptr;
}

DVR_FORWARDER int EVP_Digest(const void* data, size_t count, unsigned char* digest, unsigned int* size, const EVP_MD* type,
               ENGINE* engine) {
  DVR_TARGET(cryptoLibrary, EVP_Digest);
  return target ? target(data, count, digest, size, type, engine) : 0;
}

DVR_FORWARDER int CRYPTO_memcmp(const void* a, const void* b, size_t length) {
  DVR_TARGET(cryptoLibrary, CRYPTO_memcmp);
  return target ? target(a, b, length) : 1;  // without the library: "different"
}

// Wiping needs no library: the same guarantee without loading one.
DVR_FORWARDER void OPENSSL_cleanse(void* data, size_t length) { explicit_bzero(data, length); }

DVR_FORWARDER int compress2(Bytef* dest, uLongf* destLength, const Bytef* source, uLong sourceLength, int level) {
  DVR_TARGET(zlibLibrary, compress2);
  return target ? target(dest, destLength, source, sourceLength, level) : Z_MEM_ERROR;
}

DVR_FORWARDER int uncompress(Bytef* dest, uLongf* destLength, const Bytef* source, uLong sourceLength) {
  DVR_TARGET(zlibLibrary, uncompress);
  return target ? target(dest, destLength, source, sourceLength) : Z_MEM_ERROR;
}

}  // extern "C"
