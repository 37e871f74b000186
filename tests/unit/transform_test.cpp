// The transform codec: primitives, the transformed layout, padding removal,
// compression, file operations and messages.
#include <gtest/gtest.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "TestPaths.h"
#include "config/CryptoPrimitives.h"
#include "config/RandomSource.h"
#include "config/Transform.h"

namespace km::core {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}
Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

struct Result {
  Bytes data;
  int32_t error = 0;
  int32_t zlibStatus = 0;
  bool ok = false;
};

// A Transform with its own buffer of a chosen capacity (exactly that many
// heap bytes, so an overrun is caught by the address sanitizer).
struct Codec {
  Transform transform;
  Bytes buffer;
  Codec(bool compress, bool encrypt, std::size_t capacity = 1 << 20) : transform(compress, encrypt), buffer(capacity) {
    transform.buffer = buffer.data();
    transform.capacity = static_cast<uint32_t>(capacity);
  }
  Result run(bool encode, const Bytes& input) {
    Result r;
    uint32_t length = static_cast<uint32_t>(input.size());
    const uint8_t* out = encode ? transform.encode(input.data(), length, r.error, r.zlibStatus)
                                : transform.decode(input.data(), length, r.error, r.zlibStatus);
    r.ok = out != nullptr;
    if (out) r.data.assign(out, out + length);
    EXPECT_TRUE(out || (length == 0 && r.error < 0));
    return r;
  }
  Result encode(const Bytes& input) { return run(true, input); }
  Result decode(const Bytes& input) { return run(false, input); }
};

const crypto::AesBlock kZeroIv{};

TEST(CryptoPrimitives, MatchKnownAnswers) {
  crypto::Aes128Key key;
  const Bytes keyBytes = fromHex("000102030405060708090a0b0c0d0e0f");
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
  Bytes out(16), back(16);
  ASSERT_TRUE(crypto::aes128CbcEncrypt(key, kZeroIv, plain.data(), out.data(), 16));
  EXPECT_EQ(out, fromHex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  ASSERT_TRUE(crypto::aes128CbcDecrypt(key, kZeroIv, out.data(), back.data(), 16));
  EXPECT_EQ(back, plain);

  crypto::Sha256Digest digest;
  ASSERT_TRUE(crypto::sha256("abc", 3, digest));
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            fromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST(TransformLayout, IsCbcWithZeroIvOverRandomBlockDataAndPadding) {
  Codec codec(false, true);
  codec.transform.setKey("layout key", false);
  crypto::Aes128Key key{};
  std::memcpy(key.data(), "layout key", 10);
  for (const auto& [n, size] : std::vector<std::pair<std::size_t, std::size_t>>{
           {1, 32}, {5, 32}, {16, 32}, {17, 48}, {32, 64}, {100, 128}}) {
    const Bytes input(n, 'x');
    const Result r = codec.encode(input);
    ASSERT_EQ(r.data.size(), size) << n;
    EXPECT_EQ(Transform::requiredCapacity(n), size + 16);

    Bytes plain(size);
    ASSERT_TRUE(crypto::aes128CbcDecrypt(key, kZeroIv, r.data.data(), plain.data(), size));
    // R: bytes 8-11 and 12-15 both repeat identifier bytes 6-9.
    EXPECT_EQ(0, std::memcmp(&plain[8], &plain[12], 4));
    EXPECT_EQ(0, std::memcmp(&plain[6], &plain[8], 2));
    EXPECT_EQ(Bytes(plain.begin() + 16, plain.begin() + 16 + n), input);
    EXPECT_EQ(Bytes(plain.begin() + 16 + n, plain.end()), Bytes(size - 16 - n, 0));
  }
}

TEST(TransformCodec, EncodingsDifferAndBothDecode) {
  Codec codec(false, true);
  const Bytes text = bytesOf("sixteen bytes!!!");
  const Result a = codec.encode(text);
  const Result b = codec.encode(text);
  EXPECT_NE(a.data, b.data);
  EXPECT_EQ(codec.decode(a.data).data, text);
  EXPECT_EQ(codec.decode(b.data).data, text);
}

// Plain blocks built by hand and encrypted with the primitive, to reach every
// branch of the padding removal.
TEST(TransformCodec, RemovesPaddingByZeroByteOrCount) {
  Codec codec(false, true);
  crypto::Aes128Key key{};
  std::memcpy(key.data(), codec.transform.key().data(), 16);
  auto decodePlain = [&](Bytes plain) {
    plain.insert(plain.begin(), 16, 0x42);  // the random block
    Bytes cipher(plain.size());
    EXPECT_TRUE(crypto::aes128CbcEncrypt(key, kZeroIv, plain.data(), cipher.data(), plain.size()));
    return codec.decode(cipher);
  };
  EXPECT_EQ(decodePlain(bytesOf("ab\0de\0\0\0\0\0\0\0\0\0\0\0"s)).data, bytesOf("ab"));
  EXPECT_EQ(decodePlain(bytesOf("ABCDEFGHIJ\0\0\0\0\0\x06"s)).data, bytesOf("ABCDEFGHIJ"));
  EXPECT_EQ(decodePlain(bytesOf("ABCDEFGHIJKLMN\0\x7f"s)).data.size(), 16u);  // count too large
  EXPECT_EQ(decodePlain(bytesOf("ABCDEFGHIJKLMN\0\x80"s)).data.size(), 16u);  // negative count
  EXPECT_EQ(decodePlain(bytesOf("0123456789abcdef")).data, bytesOf("0123456789abcdef"));
  const Result empty = decodePlain({});
  EXPECT_TRUE(empty.ok);
  EXPECT_TRUE(empty.data.empty());

  const Bytes five{'a', 'b', 0, 'd', 'e'};
  EXPECT_EQ(codec.decode(codec.encode(five).data).data, bytesOf("ab"));
}

// The in-place forms give what encode and decode give, need no room beyond
// the transformed length, and leave the buffer as it was when they fail or
// the result is empty.
TEST(TransformInPlace, MatchesTheCodecInTheCallersBuffer) {
  Transform transform(false, true);
  transform.setKey("in place key", false);
  crypto::Aes128Key key{};
  std::memcpy(key.data(), "in place key", 12);
  for (const std::size_t n : {1u, 15u, 16u, 17u, 32u, 100u, 4096u}) {
    const Bytes input = randomBytes(n, static_cast<unsigned>(n)), guard(8, 0xA5);
    const std::size_t size = Transform::transformedLength(n);
    // Exactly the transformed length, then a guard the codec must not touch.
    Bytes area(input);
    area.resize(size, 0xEE);
    area.insert(area.end(), guard.begin(), guard.end());
    transform.buffer = area.data();
    int32_t error = 0;

    transform.capacity = static_cast<uint32_t>(size - 1);
    const Bytes before = area;
    EXPECT_EQ(transform.encodeInPlace(static_cast<uint32_t>(n), error), 0u);
    EXPECT_EQ(error, kBufferTooSmall);
    EXPECT_EQ(area, before);

    transform.capacity = static_cast<uint32_t>(size);
    ASSERT_EQ(transform.encodeInPlace(static_cast<uint32_t>(n), error), size) << n;
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Bytes(area.end() - 8, area.end()), guard);
    Bytes plain(size);
    ASSERT_TRUE(crypto::aes128CbcDecrypt(key, kZeroIv, area.data(), plain.data(), size));
    EXPECT_EQ(0, std::memcmp(&plain[8], &plain[12], 4));
    EXPECT_EQ(Bytes(plain.begin() + 16, plain.begin() + 16 + n), input);
    EXPECT_EQ(Bytes(plain.begin() + 16 + n, plain.end()), Bytes(size - 16 - n, 0));

    // Back: the same bytes decode() gives from a separate buffer.
    Bytes separate(size);
    transform.buffer = separate.data();
    uint32_t length = static_cast<uint32_t>(size);
    int32_t status = 0;
    const uint8_t* decoded = transform.decode(area.data(), length, error, status);
    ASSERT_NE(decoded, nullptr);
    const Bytes expected(decoded, decoded + length);
    transform.buffer = area.data();
    const uint32_t back = transform.decodeInPlace(static_cast<uint32_t>(size), error);
    EXPECT_EQ(Bytes(area.begin(), area.begin() + back), expected) << n;
    if (back < size) {
      EXPECT_EQ(area[back], 0);
    }
    EXPECT_EQ(Bytes(area.end() - 8, area.end()), guard);
  }
}

TEST(TransformInPlace, LeavesDataThatComesBackEmptyAsItWas) {
  Transform transform(false, true);
  crypto::Aes128Key key{};
  std::memcpy(key.data(), transform.key().data(), 16);
  // Returns the plain length and whether the buffer kept its bytes.
  auto decodeInPlace = [&](Bytes plain) {
    plain.insert(plain.begin(), 16, 0x42);  // the random block
    Bytes cipher(plain.size());
    EXPECT_TRUE(crypto::aes128CbcEncrypt(key, kZeroIv, plain.data(), cipher.data(), plain.size()));
    Bytes area = cipher;
    transform.buffer = area.data();
    transform.capacity = static_cast<uint32_t>(area.size());
    int32_t error = 0;
    const uint32_t length = transform.decodeInPlace(static_cast<uint32_t>(area.size()), error);
    EXPECT_EQ(error, 0);
    if (length > 0) {
      EXPECT_EQ(Bytes(area.begin(), area.begin() + length), Bytes(plain.begin() + 16, plain.begin() + 16 + length));
    }
    return std::pair{length, area == cipher};
  };
  using Outcome = std::pair<uint32_t, bool>;
  // Empty results: the buffer keeps the transformed data.
  EXPECT_EQ(decodeInPlace({}), Outcome(0, true));
  EXPECT_EQ(decodeInPlace(bytesOf("\0bcdefghijklmnop"s)), Outcome(0, true));
  EXPECT_EQ(decodeInPlace(bytesOf("\0bcdefghijklmnopqrstuvwxyz01234\0"s)), Outcome(0, true));
  EXPECT_EQ(decodeInPlace(bytesOf("\0bcdefghijklmnopqrstuvwxyz\0\0\0\0\0\0"s)), Outcome(0, true));
  // A zero first byte that the count keeps: decoded all the same.
  EXPECT_EQ(decodeInPlace(bytesOf("\0BCDEFGHIJ\0\0\0\0\0\x06"s)), Outcome(10, false));
  EXPECT_EQ(decodeInPlace(bytesOf("\0BCDEFGHIJKLMNOPQRSTUVWXYZ\0\0\0\0\0\x05"s)), Outcome(27, false));
  EXPECT_EQ(decodeInPlace(bytesOf("ABCDEFGHIJKLMNOPQRSTUVWXYZ\0\0\0\0\0\0"s)), Outcome(26, false));

  // Only encryption without compression works in place; nothing is touched.
  for (const auto& [compress, encrypt] : {std::pair{true, true}, {false, false}, {true, false}}) {
    Transform other(compress, encrypt);
    Bytes area(64, 'z');
    other.buffer = area.data();
    other.capacity = 64;
    int32_t error = 0;
    EXPECT_EQ(other.encodeInPlace(10, error), 0u);
    EXPECT_EQ(error, kInputInvalid);
    EXPECT_EQ(other.decodeInPlace(32, error), 0u);
    EXPECT_EQ(error, kInputInvalid);
    EXPECT_EQ(area, Bytes(64, 'z'));
  }
}

TEST(TransformCodec, ChecksArgumentsInOrder) {
  Transform bare(false, true);
  uint32_t length = 4;
  int32_t error = 0, status = 0;
  EXPECT_EQ(bare.encode(nullptr, length, error, status), nullptr);
  EXPECT_EQ(error, kBufferInvalid);
  EXPECT_EQ(length, 0u);

  Codec codec(false, true, 64);
  length = 0;
  EXPECT_EQ(codec.transform.encode("x", length, error, status), nullptr);
  EXPECT_EQ(error, kInputInvalid);
  length = 3;
  EXPECT_EQ(codec.transform.decode(nullptr, length, error, status), nullptr);
  EXPECT_EQ(error, kInputInvalid);

  // Encrypted data is 16 bytes plus whole blocks; nothing else is read.
  for (const std::size_t n : {1u, 15u, 17u, 31u}) EXPECT_EQ(codec.decode(Bytes(n, 1)).error, kInputInvalid) << n;
  Codec plain(false, false, 64);
  EXPECT_EQ(plain.decode(Bytes(5, 'z')).data, Bytes(5, 'z'));

  for (const std::size_t n : {1u, 16u, 17u, 40u}) {
    const std::size_t needed = Transform::requiredCapacity(n);
    EXPECT_EQ(Codec(false, true, needed - 1).encode(Bytes(n, 'q')).error, kBufferTooSmall) << n;
    EXPECT_TRUE(Codec(false, true, needed).encode(Bytes(n, 'q')).ok) << n;
  }
  const Result encoded = Codec(false, true).encode(Bytes(40, 'q'));
  EXPECT_EQ(Codec(false, true, encoded.data.size() - 1).decode(encoded.data).error, kBufferTooSmall);
  EXPECT_EQ(Codec(false, true, encoded.data.size()).decode(encoded.data).data, Bytes(40, 'q'));
}

TEST(TransformCodec, KeysSelectTheCipher) {
  const Bytes text = bytesOf("a secret without zero bytes");
  Codec a(false, true), b(false, true);
  b.transform.setKey("another key", false);
  const Result other = b.decode(a.encode(text).data);
  EXPECT_EQ(other.error, 0);
  EXPECT_NE(other.data, text);

  // Only the first 16 bytes encrypt; a short key is padded with zero bytes.
  a.transform.setKey(std::string_view("0123456789abcdefWIDE-PART-IGNORED", 32), true);
  b.transform.setKey("0123456789abcdef", false);
  EXPECT_EQ(a.transform.key().size(), 32u);
  EXPECT_EQ(b.decode(a.encode(text).data).data, text);
  a.transform.setKey("short", false);
  b.transform.setKey(std::string_view("short\0\0\0\0\0\0\0\0\0\0\0", 16), false);
  EXPECT_EQ(b.decode(a.encode(text).data).data, text);

  // The 8-byte value is written twice.
  Transform twice(false, true, std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(twice.key(), std::string_view("\1\2\3\4\5\6\7\x08\1\2\3\4\5\6\7\x08", 16));
  EXPECT_TRUE(Transform(false, false, "ignored", false).key().empty());
}

TEST(TransformCompression, RoundTripsEveryOptionCombination) {
  Bytes data = randomBytes(3000, 7);
  data.insert(data.end(), 5000, 0);  // zero bytes survive compression
  for (const bool encrypt : {false, true}) {
    Codec codec(true, encrypt);
    const Result encoded = codec.encode(data);
    ASSERT_TRUE(encoded.ok);
    EXPECT_EQ(codec.decode(encoded.data).data, data);
    if (!encrypt) {  // a bare zlib stream
      Bytes inflated(data.size());
      uLongf size = inflated.size();
      ASSERT_EQ(uncompress(inflated.data(), &size, encoded.data.data(), encoded.data.size()), Z_OK);
      EXPECT_EQ(inflated, data);
    }
  }
  Codec neither(false, false);
  EXPECT_EQ(neither.encode(data).data, data);
}

TEST(TransformCompression, ReportsZlibFailures) {
  Codec inflater(true, false, 64);
  const Result corrupt = inflater.decode(bytesOf("not a zlib stream"));
  EXPECT_EQ(corrupt.error, kDecompressData);
  EXPECT_EQ(corrupt.zlibStatus, Z_DATA_ERROR);
  const Result deflated = Codec(true, false).encode(Bytes(1000, 'a'));
  const Result tooSmall = inflater.decode(deflated.data);
  EXPECT_EQ(tooSmall.error, kDecompressBuffer);
  EXPECT_EQ(tooSmall.zlibStatus, Z_BUF_ERROR);

  const Bytes noise = randomBytes(256 * 1024, 3);
  const Result noRoom = Codec(true, false, Transform::requiredCapacity(noise.size())).encode(noise);
  EXPECT_EQ(noRoom.error, kCompressBuffer);
  EXPECT_EQ(noRoom.zlibStatus, Z_BUF_ERROR);
}

// A deflated stream that fits the buffer but not once padded is refused, not
// written past the buffer's end.
TEST(TransformCompression, RefusesStreamThatDoesNotFitOncePadded) {
  int refused = 0;
  for (const std::size_t n : {49149u, 100000u, 150000u}) {
    const Bytes noise = randomBytes(n, 12345);
    const uint64_t m = Codec(true, false).encode(noise).data.size();
    const uint64_t padded = 16 + m + (m <= 16 ? 16 - m : 16 - m % 16);
    const uint64_t capacity = std::max<uint64_t>(Transform::requiredCapacity(n), m + 16);
    if (capacity >= padded) continue;
    EXPECT_EQ(Codec(true, true, capacity).encode(noise).error, kBufferTooSmall);
    EXPECT_TRUE(Codec(true, true, padded).encode(noise).ok);
    ++refused;
  }
  EXPECT_GT(refused, 0);
}

class TransformFiles : public ::testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("transform-test-" + std::to_string(::getpid()));
  Codec codec{false, true};
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string path(const char* name) const { return (dir / name).string(); }
  void write(const char* name, const Bytes& data) const {
    std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  }
  Bytes read(const char* name) const {
    std::ifstream in(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(TransformFiles, SaveAndLoadRoundTrip) {
  const Bytes text = bytesOf("stored text\nwith two lines\n");
  ASSERT_EQ(codec.transform.save(path("saved").c_str(), text.data(), text.size()), 0);
  uint32_t length = 0;
  int32_t error = 0, detail = 0;
  const uint8_t* loaded = codec.transform.load(path("saved").c_str(), length, error, detail);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(Bytes(loaded, loaded + length), text);

  write("empty", {});
  loaded = codec.transform.load(path("empty").c_str(), length, error, detail);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(loaded[0], 0);
}

TEST_F(TransformFiles, FailedVerificationWritesNothing) {
  std::FILE* out = std::fopen(path("out").c_str(), "wb");
  int32_t verification = 0;
  const Bytes withZero{'a', 0, 'b'};
  EXPECT_EQ(codec.transform.saveToStream(withZero.data(), 3, out, verification), kVerifySizeMismatch);
  EXPECT_EQ(verification, 1);
  std::fclose(out);
  EXPECT_TRUE(read("out").empty());

  const Bytes text = bytesOf("fine");
  EXPECT_EQ(codec.transform.saveToStream(text.data(), 4, nullptr, verification), kCreateFailed);
  EXPECT_EQ(verification, 0);
  std::FILE* readOnly = std::fopen("/dev/null", "rb");
  EXPECT_EQ(codec.transform.saveToStream(text.data(), 4, readOnly, verification), kWriteFailed);
  std::fclose(readOnly);
  EXPECT_EQ(codec.transform.save((dir / "missing" / "x").c_str(), text.data(), 4), kCreateFailed);
}

TEST_F(TransformFiles, LoadFailuresAreReported) {
  uint32_t length = 7;
  int32_t error = 0, detail = 0;
  EXPECT_EQ(codec.transform.load(path("none").c_str(), length, error, detail), nullptr);
  EXPECT_EQ(error, kLocateFailed);
  EXPECT_EQ(detail, ENOENT);

  write("short", Bytes(40, 1));  // not a transformed length: no output file
  EXPECT_EQ(codec.transform.loadToFile(path("short").c_str(), path("out").c_str()), kInputInvalid);
  EXPECT_FALSE(std::filesystem::exists(path("out")));

  std::FILE* in = std::fopen(path("short").c_str(), "rb");
  EXPECT_EQ(codec.transform.loadFromStream(in, 48, length, error), nullptr);
  EXPECT_EQ(error, kReadFailed);
  EXPECT_NE(codec.transform.loadFromStream(in, 0, length, error), nullptr);
  EXPECT_EQ(length, 0u);
  std::fclose(in);
  EXPECT_EQ(codec.transform.loadStreamToStream(nullptr, stdout, 16), kOpenFailed);
  EXPECT_EQ(codec.transform.loadStreamToStream(stdin, nullptr, 16), kCreateFailed);
}

TEST(TransformMessage, GivesEveryForm) {
  std::string text;
  transformMessage(-3, -2, text);
  EXPECT_EQ(text, "compression failed (err -2)");
  transformMessage(-13, -3, text);
  EXPECT_EQ(text, "decompression failed (err -3)");
  transformMessage(-40, 2, text);
  EXPECT_EQ(text, "failed to locate file (err 2)");
  transformMessage(-40, INT_MIN, text);
  EXPECT_EQ(text, "failed to locate file (err -21474836");
  transformMessage(7, 5, text);
  EXPECT_EQ(text, "[7,5]");
  transformMessage(-21, 9, text);
  EXPECT_EQ(text, "transform buffer too small for operation");
  transformMessage(-44, 3, text);
  EXPECT_EQ(text, "failed to read file");
}

// A kernel call scripted by the test: answers in turn, then bytes counting
// up from 0 (so every byte's position in the stream is known).
struct ScriptedKernel {
  static inline std::vector<ssize_t> answers;  // > 0: that many bytes; < 0: -errno
  static inline std::size_t calls = 0;
  static inline uint8_t next = 0;
  static ssize_t call(void* buffer, std::size_t length, unsigned int flags) {
    EXPECT_EQ(flags, static_cast<unsigned int>(GRND_NONBLOCK));
    ssize_t answer = static_cast<ssize_t>(length);
    if (calls < answers.size()) answer = answers[calls];
    ++calls;
    if (answer < 0) {
      errno = static_cast<int>(-answer);
      return -1;
    }
    answer = std::min<ssize_t>(answer, static_cast<ssize_t>(length));
    for (ssize_t i = 0; i < answer; ++i) static_cast<uint8_t*>(buffer)[i] = next++;
    return answer;
  }
  explicit ScriptedKernel(std::vector<ssize_t> script) {
    answers = std::move(script);
    calls = 0;
    next = 0;
  }
};

Bytes guidFrom(RandomSource& source, RandomPool& pool) {
  Bytes guid(16);
  source.guid(guid.data(), pool);
  return guid;
}

TEST(RandomSource, HandsOutOneKernelCallSixteenBytesAtATime) {
  // Interrupted before any byte, then cut short: the pool still fills whole.
  ScriptedKernel kernel({-EINTR, 100, -EINTR, 7});
  RandomSource source(&ScriptedKernel::call, "/nonexistent/random");
  RandomPool pool;
  for (std::size_t i = 0; i < RandomPool::kSize / 16; ++i) {
    const Bytes guid = guidFrom(source, pool);
    for (std::size_t b = 0; b < 16; ++b) ASSERT_EQ(guid[b], static_cast<uint8_t>(i * 16 + b)) << i;
  }
  EXPECT_EQ(ScriptedKernel::calls, 5u);
  guidFrom(source, pool);  // empty: one more call
  EXPECT_EQ(ScriptedKernel::calls, 6u);

  // A discarded pool refills before it hands out anything.
  pool.discard();
  guidFrom(source, pool);
  EXPECT_EQ(ScriptedKernel::calls, 7u);
}

TEST(RandomSource, ReadsTheDeviceWhereTheKernelLacksTheCall) {
  for (const ssize_t refusal : {-ENOSYS, -EPERM}) {
    ScriptedKernel kernel({refusal});
    RandomSource source(&ScriptedKernel::call, "/dev/urandom");
    RandomPool pool;
    const Bytes a = guidFrom(source, pool), b = guidFrom(source, pool);
    EXPECT_NE(a, b);
    EXPECT_EQ(ScriptedKernel::calls, 1u) << "the kernel is asked once";
  }
}

TEST(RandomSource, ReadsTheDeviceWhileTheKernelIsNotSeededYet) {
  ScriptedKernel kernel({-EAGAIN});
  RandomSource source(&ScriptedKernel::call, "/dev/urandom");
  RandomPool pool;
  guidFrom(source, pool);
  EXPECT_EQ(ScriptedKernel::calls, 1u);
  // Asked again next time: now it serves, from the start of the stream.
  EXPECT_EQ(guidFrom(source, pool), Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(ScriptedKernel::calls, 2u);
}

TEST(RandomSource, EndsTheProcessWhenTheDeviceFails) {
  // A child that execs this program again; under emulation this program is
  // no executable of this machine, so the child forks only.
  GTEST_FLAG_SET(death_test_style, dvrtest::emulated() ? "fast" : "threadsafe");
  const auto guidFromDevice = [](const char* path) {
    ScriptedKernel kernel({-ENOSYS});
    RandomSource source(&ScriptedKernel::call, path);
    RandomPool pool;
    guidFrom(source, pool);
  };
  EXPECT_EXIT(guidFromDevice("/nonexistent/random"), ::testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): open: /nonexistent/random: No such file or directory");
  EXPECT_EXIT(guidFromDevice("/dev/null"), ::testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): read: /dev/null: EOF, got 0 of 16 bytes requested");
  EXPECT_EXIT(guidFromDevice("/"), ::testing::ExitedWithCode(74), "CoCreateGuid\\(\\): read: /: Is a directory");
}

TEST(CoCreateGuid, GivesFreshBytesAlsoAfterFork) {
  uint8_t a[16], b[16];
  EXPECT_EQ(CoCreateGuid(a), 0);
  EXPECT_EQ(CoCreateGuid(b), 0);
  EXPECT_NE(0, std::memcmp(a, b, 16));

  // Parent and child must not both hand out what was left in the pool.
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint8_t childGuid[16];
    CoCreateGuid(childGuid);
    const bool sent = ::write(channel[1], childGuid, sizeof childGuid) == sizeof childGuid;
    ::_exit(sent ? 0 : 1);
  }
  ::close(channel[1]);
  uint8_t parentGuid[16], childGuid[16];
  CoCreateGuid(parentGuid);
  ASSERT_EQ(::read(channel[0], childGuid, sizeof childGuid), static_cast<ssize_t>(sizeof childGuid));
  ::close(channel[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(0, std::memcmp(parentGuid, childGuid, 16));
}

}  // namespace
}  // namespace km::core
