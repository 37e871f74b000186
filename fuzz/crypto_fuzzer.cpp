// The crypto service: arbitrary request records and payloads posted through
// `post`, as a plug-in posts them, under an arbitrary device identity.
//
// Input: byte 0 chooses the type word (crypto, with or without the modifier
// bit) and whether the payload pointer is null; bytes 1-4 the flags word,
// 5-8 `param`, 9-10 `length` (the buffer's capacity), 11 the length of the
// device identity; then the identity and the buffer's bytes (zero-filled when
// the input ends first).
//
// Checked: every answer is one the service documents; a request that is not
// done leaves the record and the buffer as they were; a done request leaves
// a record ready for the opposite operation, zero bytes behind a result that
// was transformed back, and transformed data that comes back as the input.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "core/DvrCore.h"
#include "events/PayloadBlock.h"
#include "plugin_events.hpp"

using namespace km::core;

namespace {

uint32_t wordAt(const uint8_t* bytes) {
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

DvrCore& core() {
  static DvrCore* instance = [] {
    auto* made = new DvrCore("/fuzz/dvrcore");  // lives for the whole run
    made->background.store(true);
    theCore = made;
    return made;
  }();
  return *instance;
}

bool sameRecord(const EventParms& a, const EventParms& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Posts the record; checks what an answer may change.
int32_t postChecked(EventParms& e, uint8_t* buffer) {
  const EventParms before = e;
  const std::string bytesBefore(reinterpret_cast<const char*>(buffer), buffer ? before.length : 0);
  const int32_t answer = post(&e);
  const uint32_t operation = before.flags & 0x00FFFFFFu;
  if (answer != 0) {
    FUZZ_CHECK(answer == 1 || answer == -1 || answer == -2 || answer == -13 || answer > 0);
    FUZZ_CHECK(answer != -1 || (operation != 2 && operation != 1024));
    if (answer > 0) FUZZ_CHECK(answer == 1 || static_cast<uint32_t>(answer) > before.length);
    // post sets `length` to 0 for a null payload: nothing else changes.
    EventParms expected = before;
    if (!before.payload) expected.length = 0;
    FUZZ_CHECK(sameRecord(e, expected));
    FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(buffer), buffer ? before.length : 0) == bytesBefore);
    return answer;
  }
  FUZZ_CHECK(operation == 2 || operation == 1024);
  FUZZ_CHECK(before.length > 0 && before.payload);
  FUZZ_CHECK(e.param <= e.length && e.length == before.length);
  FUZZ_CHECK(e.flags == (operation == 2 ? 1024u : 2u));
  EventParms unchanged = e;
  unchanged.param = before.param;
  unchanged.flags = before.flags;
  FUZZ_CHECK(sameRecord(unchanged, before));
  if (operation == 1024) {
    for (uint32_t i = e.param; i < e.length; ++i) FUZZ_CHECK(buffer[i] == 0);
    FUZZ_CHECK(e.param > 0);
  } else {
    FUZZ_CHECK(e.param == 0 || (e.param % 16 == 0 && e.param >= 32 && e.param >= before.param + 16));
  }
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  DvrCore& c = core();
  const uint8_t shape = data[0];
  const uint32_t flags = wordAt(data + 1);
  const uint32_t param = wordAt(data + 5);
  const uint32_t length = static_cast<uint32_t>(data[9]) | static_cast<uint32_t>(data[10]) << 8;
  std::size_t identityLength = std::min<std::size_t>(data[11], size - 12);
  c.deviceIdentity.assign(reinterpret_cast<const char*>(data) + 12, identityLength);
  const uint8_t* rest = data + 12 + identityLength;
  const std::size_t restSize = size - 12 - identityLength;

  // The caller's buffer: exactly `length` bytes.
  auto buffer = std::make_unique<uint8_t[]>(std::max<uint32_t>(length, 1));
  std::memset(buffer.get(), 0, std::max<uint32_t>(length, 1));
  std::memcpy(buffer.get(), rest, std::min<std::size_t>(restSize, length));

  EventParms e = makeEventRecord(shape & 0x01 ? DVR_TYPE_CRYPTO | DVR_TYPE_MODIFIER : DVR_TYPE_CRYPTO, flags);
  e.source = DVR_SOURCE_PLUGIN(3);
  e.param = param;
  e.length = length;
  e.payload = shape & 0x02 ? nullptr : buffer.get();
  uint8_t* payload = static_cast<uint8_t*>(e.payload);

  const std::string input(reinterpret_cast<const char*>(payload), payload ? std::min(param, length) : 0);
  const uint32_t operation = flags & 0x00FFFFFFu;
  if (postChecked(e, payload) != 0 || operation != 2 || e.param == 0) return 0;

  // Done: the transformed data comes back as the input through the
  // opposite request, in the same buffer.
  const int32_t back = postChecked(e, payload);
  FUZZ_CHECK(back == 0 || back == -13);
  if (back == 0) {
    const std::string_view plain(reinterpret_cast<const char*>(payload), e.param);
    if (input.find('\0') == std::string::npos) {
      FUZZ_CHECK(plain == input);
    } else {
      FUZZ_CHECK(std::string_view(input).starts_with(plain));
    }
  } else {
    FUZZ_CHECK(input.empty() || input.front() == '\0');
  }
  FUZZ_CHECK(payloadBlockCount.load() == 0);
  return 0;
}
