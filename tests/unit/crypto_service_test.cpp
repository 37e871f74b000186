// The crypto service as a plug-in sees it: requests through `post`.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/CryptoPrimitives.h"
#include "core/DvrCore.h"
#include "plugin_events.hpp"

namespace km::core {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTransform = DVR_CRYPTO_TRANSFORM;
constexpr uint32_t kBack = DVR_CRYPTO_TRANSFORM_BACK;

EventParms cryptoEvent(void* payload, uint32_t length, uint32_t param, uint32_t flags) {
  EventParms e = makeEventRecord(DVR_TYPE_CRYPTO, flags);
  e.source = DVR_SOURCE_PLUGIN(9);
  e.payload = payload;
  e.length = length;
  e.param = param;
  return e;
}

class CryptoService : public ::testing::Test {
 protected:
  std::unique_ptr<DvrCore> core = std::make_unique<DvrCore>("/usr/lib/dvr/dvrcore");
  void SetUp() override {
    core->deviceIdentity = "5c0ffee0d15ea5e5";
    theCore = core.get();
  }
  void TearDown() override { theCore = nullptr; }

  // Posts one request on `buffer` (its whole size is the capacity).
  static int32_t request(Bytes& buffer, uint32_t& param, uint32_t& flags) {
    EventParms e = cryptoEvent(buffer.data(), static_cast<uint32_t>(buffer.size()), param, flags);
    const int32_t answer = post(&e);
    param = e.param;
    flags = e.flags;
    return answer;
  }
  static Bytes text(std::string_view s, std::size_t capacity) {
    Bytes b(capacity, 0xEE);
    std::copy(s.begin(), s.end(), b.begin());
    return b;
  }
};

TEST_F(CryptoService, TransformsInPlaceAndBack) {
  Bytes buffer = text("0123456789", 64);
  uint32_t param = 10, flags = kTransform;
  ASSERT_EQ(request(buffer, param, flags), 0);
  EXPECT_EQ(param, 32u);
  EXPECT_EQ(flags, kBack);
  EXPECT_EQ(Bytes(buffer.begin() + 32, buffer.end()), Bytes(32, 0xEE));

  ASSERT_EQ(request(buffer, param, flags), 0);
  EXPECT_EQ(param, 10u);
  EXPECT_EQ(flags, kTransform);
  EXPECT_EQ(buffer, [] { Bytes b(64, 0); std::memcpy(b.data(), "0123456789", 10); return b; }());
}

TEST_F(CryptoService, AnswersNeededSizeWithoutTouchingAnything) {
  Bytes buffer = text("0123456789", 20);
  const Bytes before = buffer;
  EventParms e = cryptoEvent(buffer.data(), 20, 10, kTransform);
  const EventParms record = e;
  EXPECT_EQ(post(&e), 32);
  EXPECT_EQ(0, std::memcmp(&e, &record, sizeof e));
  EXPECT_EQ(buffer, before);
}

TEST_F(CryptoService, EqualTextsGiveDifferentResultsThatBothComeBack) {
  Bytes a = text("same text", 48), b = a;
  uint32_t pa = 9, fa = kTransform, pb = 9, fb = kTransform;
  ASSERT_EQ(request(a, pa, fa), 0);
  ASSERT_EQ(request(b, pb, fb), 0);
  EXPECT_NE(a, b);
  ASSERT_EQ(request(a, pa, fa), 0);
  ASSERT_EQ(request(b, pb, fb), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.data()), pa), "same text");
}

TEST_F(CryptoService, ReadsOperationFromLowBitsAndIgnoresModifier) {
  Bytes buffer = text("abc", 32);
  uint32_t param = 3, flags = 3;
  EXPECT_EQ(request(buffer, param, flags), -1);
  flags = kTransform | DVR_FLAG_LIVE;
  ASSERT_EQ(request(buffer, param, flags), 0);
  flags = kBack | 0xFF000000u;
  EventParms e = cryptoEvent(buffer.data(), 32, param, flags);
  e.type = DVR_TYPE_CRYPTO | DVR_TYPE_MODIFIER;
  ASSERT_EQ(post(&e), 0);
  EXPECT_EQ(e.param, 3u);
  EXPECT_EQ(e.flags, kTransform);
}

TEST_F(CryptoService, RefusesRequestsOutsideTheBuffer) {
  Bytes buffer(64, 0x11);
  const Bytes before = buffer;
  EventParms noPayload = cryptoEvent(nullptr, 64, 10, kTransform);
  EXPECT_EQ(post(&noPayload), -2);
  EXPECT_EQ(noPayload.length, 0u);
  for (const auto& [length, param, flags] : std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
           {0, 0, kTransform},        // no buffer
           {64, 0, kBack},            // nothing to transform back
           {64, 65, kTransform},      // more data than buffer
           {64, 20, kBack},           // not 16 plus whole blocks
           {64, 33, kBack},
           {UINT32_MAX, UINT32_MAX - 20, kTransform},  // param + 48 would wrap
       }) {
    EventParms e = cryptoEvent(buffer.data(), length, param, flags);
    EXPECT_EQ(post(&e), -2) << length << " " << param;
  }
  EXPECT_EQ(buffer, before);

  EventParms sixteen = cryptoEvent(buffer.data(), 64, 16, kBack);
  EXPECT_EQ(post(&sixteen), -13);
  EventParms empty = cryptoEvent(buffer.data(), 64, 0, kTransform);
  EXPECT_EQ(post(&empty), 0);
  EXPECT_EQ(empty.param, 0u);
  EXPECT_EQ(empty.flags, kBack);
}

TEST_F(CryptoService, TransformsIntoABufferOfExactlyTheTransformedLength) {
  Bytes buffer = text("0123456789", 32);
  uint32_t param = 10, flags = kTransform;
  ASSERT_EQ(request(buffer, param, flags), 0);
  EXPECT_EQ(param, 32u);
  ASSERT_EQ(request(buffer, param, flags), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), param), "0123456789");
}

// Transformed data whose text starts with a zero byte comes back empty: the
// answer is -13 and the caller keeps its transformed data.
TEST_F(CryptoService, LeavesDataThatComesBackEmptyAsItWas) {
  crypto::Sha256Digest digest;
  ASSERT_TRUE(crypto::sha256(core->deviceIdentity.data(), core->deviceIdentity.size(), digest));
  crypto::Aes128Key key;
  std::copy_n(digest.begin(), key.size(), key.begin());
  for (const std::size_t textLength : {16u, 48u, 1024u}) {
    Bytes plain(16 + textLength, 'x');
    plain[16] = 0;
    Bytes buffer(plain.size() + 16, 0xEE);
    ASSERT_TRUE(crypto::aes128CbcEncrypt(key, crypto::AesBlock{}, plain.data(), buffer.data(), plain.size()));
    const Bytes before = buffer;
    EventParms e = cryptoEvent(buffer.data(), static_cast<uint32_t>(buffer.size()),
                               static_cast<uint32_t>(plain.size()), kBack);
    const EventParms record = e;
    EXPECT_EQ(post(&e), -13) << textLength;
    EXPECT_EQ(0, std::memcmp(&e, &record, sizeof e));
    EXPECT_EQ(buffer, before);
  }
}

TEST_F(CryptoService, KeyIsDigestOfDeviceIdentity) {
  Bytes buffer = text("identity bound", 64);
  uint32_t param = 14, flags = kTransform;
  ASSERT_EQ(request(buffer, param, flags), 0);

  crypto::Sha256Digest digest;
  ASSERT_TRUE(crypto::sha256(core->deviceIdentity.data(), core->deviceIdentity.size(), digest));
  crypto::Aes128Key key;
  std::copy_n(digest.begin(), key.size(), key.begin());
  Bytes plain(param);
  ASSERT_TRUE(crypto::aes128CbcDecrypt(key, crypto::AesBlock{}, buffer.data(), plain.data(), param));
  EXPECT_EQ(0, std::memcmp(plain.data() + 16, "identity bound", 14));

  core->deviceIdentity = "another device";
  Bytes copy = buffer;
  uint32_t otherParam = param, otherFlags = flags;
  const int32_t answer = request(copy, otherParam, otherFlags);
  EXPECT_TRUE(answer != 0 || std::memcmp(copy.data(), "identity bound", 14) != 0);

  // Without an identity the built-in key serves, on every device alike.
  core->deviceIdentity.clear();
  buffer = text("built-in", 64);
  param = 8, flags = kTransform;
  ASSERT_EQ(request(buffer, param, flags), 0);
  auto second = std::make_unique<DvrCore>("/usr/lib/dvr/dvrcore");
  theCore = second.get();
  ASSERT_EQ(request(buffer, param, flags), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), param), "built-in");
  theCore = core.get();
}

// Data transformed before (made outside this code base: AES-128-CBC with a
// zero IV over the random block, the text and its zero padding) must keep
// transforming back to the same text, under the identity's key and under the
// built-in key.
TEST_F(CryptoService, TransformsBackDataMadeBefore) {
  const auto fromHex = [](std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
  };
  struct Known {
    const char* identity;
    const char* transformed;
    std::string_view text;
  };
  for (const Known& known : {
           Known{"5c0ffee0d15ea5e5",
                 "4ac5fac72f9b2b71ef96ac99db6d0366390d12c116d6c68889279e28c4c45a18"
                 "a28e4425a2f49d3afbff202fa640e131",
                 "known answer text, pinned"},
           Known{"",
                 "3af8f1b282357f1a5d2e41408e70065997c1875227a817d551b9c54892e85deb"
                 "61b0b6467bf685d6911dd5fc60836abd",
                 "built-in key text"},
       }) {
    core->deviceIdentity = known.identity;
    Bytes buffer = fromHex(known.transformed);
    const uint32_t transformed = static_cast<uint32_t>(buffer.size());
    buffer.resize(80, 0xEE);
    uint32_t param = transformed, flags = kBack;
    ASSERT_EQ(request(buffer, param, flags), 0) << known.identity;
    EXPECT_EQ(flags, kTransform);
    ASSERT_EQ(param, known.text.size());
    EXPECT_EQ(std::string_view(reinterpret_cast<char*>(buffer.data()), param), known.text);
    EXPECT_EQ(Bytes(buffer.begin() + param, buffer.end()), Bytes(buffer.size() - param, 0));
  }
}

TEST_F(CryptoService, ConcurrentRequestsStayIndependent) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        const std::string message = "thread " + std::to_string(t) + " request " + std::to_string(i);
        Bytes buffer = text(message, 96);
        uint32_t param = static_cast<uint32_t>(message.size()), flags = kTransform;
        if (request(buffer, param, flags) != 0 || request(buffer, param, flags) != 0 ||
            std::string(reinterpret_cast<char*>(buffer.data()), param) != message)
          failures.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace km::core
