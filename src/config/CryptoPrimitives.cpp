#include "config/CryptoPrimitives.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace km::core::crypto {

namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// Fetched once for the process: an implicit fetch on every request would look
// the algorithm up in the provider tables each time. Never freed; it lives as
// long as the library.
const EVP_CIPHER* aes128Cbc() noexcept {
  static const EVP_CIPHER* const cipher = [] {
    const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return fetched ? fetched : EVP_aes_128_cbc();
  }();
  return cipher;
}

const EVP_MD* sha256Digest() noexcept {
  static const EVP_MD* const digest = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    return fetched ? fetched : EVP_sha256();
  }();
  return digest;
}

// One cipher context per direction and thread, kept for the thread's life:
// creating a context and expanding the key cost more than a KiB of cipher
// work. A context keeps its key schedule; a request under the same key only
// loads its IV. Freed (and cleansed by OpenSSL) when the thread ends.
class ThreadCipher {
 public:
  ThreadCipher() noexcept = default;
  ThreadCipher(const ThreadCipher&) = delete;
  ThreadCipher& operator=(const ThreadCipher&) = delete;
  ~ThreadCipher() { wipe(key.data(), key.size()); }

  // The context, ready to run from `iv` under `newKey`; null when OpenSSL
  // fails.
  EVP_CIPHER_CTX* start(bool encrypt, const Aes128Key& newKey, const AesBlock& iv) noexcept {
    if (!context) {
      context.reset(EVP_CIPHER_CTX_new());
      if (!context) return nullptr;
    }
    const bool rekey = !keyed || CRYPTO_memcmp(key.data(), newKey.data(), key.size()) != 0;
    keyed = false;  // until the context holds `newKey` for certain
    if (rekey) {
      if (EVP_CipherInit_ex2(context.get(), aes128Cbc(), newKey.data(), iv.data(), encrypt ? 1 : 0, nullptr) != 1)
        return nullptr;
      // The data is always whole blocks; the format has its own padding.
      EVP_CIPHER_CTX_set_padding(context.get(), 0);
      key = newKey;
    } else if (EVP_CipherInit_ex2(context.get(), nullptr, nullptr, iv.data(), encrypt ? 1 : 0, nullptr) != 1) {
      return nullptr;
    }
    keyed = true;
    return context.get();
  }

 private:
  CipherContext context;
  Aes128Key key{};
  bool keyed = false;
};

// Per thread, so that requests on different threads run in parallel.
ThreadCipher& threadCipher(bool encrypt) noexcept {
  thread_local ThreadCipher encryption;
  thread_local ThreadCipher decryption;
  return encrypt ? encryption : decryption;
}

// EVP counts in int; longer runs go in slices, the chaining carries across.
constexpr std::size_t kSlice = std::size_t{1} << 30;

bool runCbc(bool encrypt, const Aes128Key& key, const AesBlock& iv, const uint8_t* in, uint8_t* out,
            std::size_t length) noexcept {
  if (length % kAesBlockSize != 0) return false;
  if (length == 0) return true;
  CbcRun run(encrypt, key, iv);
  return run && run.update(in, out, length);
}

}  // namespace

CbcRun::CbcRun(bool encrypt, const Aes128Key& key, const AesBlock& iv) noexcept
    : context(threadCipher(encrypt).start(encrypt, key, iv)) {}

bool CbcRun::update(const uint8_t* in, uint8_t* out, std::size_t length) noexcept {
  if (!context || length % kAesBlockSize != 0) return false;
  // With padding off and whole blocks, every byte comes out of the update
  // itself; there is no final step to run.
  for (std::size_t done = 0; done < length;) {
    const std::size_t slice = length - done < kSlice ? length - done : kSlice;
    int written = 0;
    if (EVP_CipherUpdate(context, out + done, &written, in + done, static_cast<int>(slice)) != 1 ||
        static_cast<std::size_t>(written) != slice)
      return false;
    done += slice;
  }
  return true;
}

bool aes128CbcEncrypt(const Aes128Key& key, const AesBlock& iv, const uint8_t* in, uint8_t* out,
                      std::size_t length) noexcept {
  return runCbc(true, key, iv, in, out, length);
}

bool aes128CbcDecrypt(const Aes128Key& key, const AesBlock& iv, const uint8_t* in, uint8_t* out,
                      std::size_t length) noexcept {
  return runCbc(false, key, iv, in, out, length);
}

bool sha256(const void* data, std::size_t length, Sha256Digest& digest) noexcept {
  unsigned int size = 0;
  return EVP_Digest(data, length, digest.data(), &size, sha256Digest(), nullptr) == 1 && size == digest.size();
}

void wipe(void* data, std::size_t length) noexcept {
  if (data && length) OPENSSL_cleanse(data, length);
}

// Zero-filled, so that no stale heap bytes can ever travel out of the area.
WipedBuffer::WipedBuffer(std::size_t size) noexcept
    : bytes(static_cast<uint8_t*>(std::calloc(size ? size : 1, 1))), length(bytes ? size : 0) {}

WipedBuffer::~WipedBuffer() {
  wipe(bytes, length);
  std::free(bytes);
}

}  // namespace km::core::crypto
