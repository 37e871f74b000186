// libcrypto and zlib opened by their first call: this program is linked like
// the dvrcore executable (the forwarders, libraries only as needed), so
// neither library is mapped until the transform needs it, and every forwarder
// gives the library's own answers.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/opensslv.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/CryptoPrimitives.h"
#include "config/Transform.h"

namespace km::core {
namespace {

using Bytes = std::vector<uint8_t>;

#define DVRTEST_STRINGIFY_VALUE(x) #x
#define DVRTEST_STRINGIFY(x) DVRTEST_STRINGIFY_VALUE(x)

bool mapped(const char* soname) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

const char* const kCrypto = "libcrypto.so." DVRTEST_STRINGIFY(OPENSSL_VERSION_MAJOR);
const char* const kZlib = "libz.so.1";

// Encodes and decodes `text` with a codec of the given options.
std::string roundTrip(bool compress, bool encrypt, const std::string& text) {
  Transform transform(compress, encrypt);
  Bytes buffer(Transform::requiredCapacity(text.size()) + 64);
  transform.buffer = buffer.data();
  transform.capacity = static_cast<uint32_t>(buffer.size());
  uint32_t length = static_cast<uint32_t>(text.size());
  int32_t error = 0, zlibStatus = 0;
  const uint8_t* encoded = transform.encode(text.data(), length, error, zlibStatus);
  if (!encoded) return "encode failed: " + std::to_string(error) + "/" + std::to_string(zlibStatus);
  const Bytes copy(encoded, encoded + length);
  const uint8_t* decoded = transform.decode(copy.data(), length, error, zlibStatus);
  if (!decoded) return "decode failed: " + std::to_string(error) + "/" + std::to_string(zlibStatus);
  return std::string(reinterpret_cast<const char*>(decoded), length);
}

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// One test: the first part must run before anything in this process has
// touched either library.
TEST(OnDemandLibraries, OpenOnFirstUseAndAnswerAsTheLibrariesDo) {
  EXPECT_FALSE(mapped(kCrypto)) << "libcrypto is mapped before its first call";
  EXPECT_FALSE(mapped(kZlib)) << "zlib is mapped before its first call";

  // Wiping needs neither library.
  std::array<uint8_t, 40> secret;
  secret.fill(0x5a);
  crypto::wipe(secret.data(), secret.size());
  EXPECT_EQ(secret, (std::array<uint8_t, 40>{}));
  EXPECT_FALSE(mapped(kCrypto));

  // Known answers through the cipher and digest forwarders.
  crypto::Aes128Key key;
  const Bytes keyBytes = fromHex("000102030405060708090a0b0c0d0e0f");
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
  Bytes out(16), back(16);
  ASSERT_TRUE(crypto::aes128CbcEncrypt(key, crypto::AesBlock{}, plain.data(), out.data(), 16));
  EXPECT_EQ(out, fromHex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  ASSERT_TRUE(crypto::aes128CbcDecrypt(key, crypto::AesBlock{}, out.data(), back.data(), 16));
  EXPECT_EQ(back, plain);
  crypto::Sha256Digest digest;
  ASSERT_TRUE(crypto::sha256("abc", 3, digest));
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            fromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_TRUE(mapped(kCrypto));
  EXPECT_FALSE(mapped(kZlib)) << "encryption alone opened zlib";

  // Compression through the zlib forwarders, with and without encryption.
  const std::string text(5000, 'k');
  for (const bool encrypt : {false, true}) {
    EXPECT_EQ(roundTrip(true, encrypt, text), text) << "encrypt=" << encrypt;
  }
  EXPECT_TRUE(mapped(kZlib));
}

}  // namespace
}  // namespace km::core
