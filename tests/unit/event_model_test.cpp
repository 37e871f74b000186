// The event record as the core reads it (typed views, key frames, type
// names) and the reference-counted payload blocks.
#include <gtest/gtest.h>

#include <any>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "events/EventModel.h"
#include "events/PayloadBlock.h"

using namespace km::core;

namespace {

template <class View>
bool holds(const std::any& value, const EventParms& e) {
  const View* const* view = std::any_cast<const View*>(&value);
  return view && static_cast<const void*>(*view) == static_cast<const void*>(&e);
}

struct ViewCase {
  const char* what;
  uint32_t type;
  uint32_t flags;
  uint8_t frameFlags;
  std::function<bool(const std::any&, const EventParms&)> isExpected;
};

EventParms record(uint32_t type, uint32_t flags, uint8_t frameFlags = 0) {
  EventParms e = makeEventRecord(type, flags);
  e.frameFlags = frameFlags;
  return e;
}

}  // namespace

TEST(TypedView, EachTypeIsViewedAsItsConcreteClass) {
  constexpr uint32_t live = DVR_FLAG_LIVE, stored = DVR_FLAG_STORED, out = DVR_FRAME_FLAG_OUTPUT;
  const std::vector<ViewCase> cases = {
      {"live video", 1, live, 0, holds<VideoEvt>},
      {"video output frame", 1, live, out, holds<VideoOutEvt>},
      {"output frame with the modifier bit", 0x4001, live, out, holds<VideoEvt>},
      {"video with the modifier bit", 0x4001, live, 0, holds<VideoEvt>},
      {"video without live or stored", 1, 0, 0, holds<VideoEvt>},
      {"stored video", 1, stored, 0, holds<StoredVideoEvt>},
      {"stored output frame", 1, stored, out, holds<StoredVideoEvt>},
      {"stored video with the modifier bit", 0x4001, stored, 0, holds<StoredVideoEvt>},
      {"live audio", 2, live, 0, holds<AudioEvt>},
      {"audio output frame", 2, live, out, holds<AudioOutEvt>},
      {"audio output frame with the modifier bit", 0x4002, live, out, holds<AudioEvt>},
      {"stored audio", 2, stored, out, holds<StoredAudioEvt>},
      {"alarm", 4, live, 0, holds<AlarmEvt>},
      {"stored alarm", 4, stored, 0, holds<StoredAlarmEvt>},
      {"ptz", 8, live, 0, holds<PTZEvt>},
      {"stored ptz", 8, stored, 0, holds<PTZEvt>},
      {"serial", 16, live, 0, holds<SerialEvt>},
      {"stored serial", 16, stored, 0, holds<SerialEvt>},
      {"watchdog", 32, 0, 0, holds<WatchdogEvt>},
      {"stored watchdog", 32, stored, 0, holds<WatchdogEvt>},
      {"log", 64, live, 0, holds<LogEvt>},
      {"log with the modifier bit", 0x4040, live, 0, holds<LogEvt>},
      {"stored log", 64, stored, 0, holds<StoredLogEvt>},
      {"config", 256, live, 0, holds<ConfigEvt>},
      {"stored config", 256, stored, 0, holds<ConfigEvt>},
      {"pos", 1024, live, 0, holds<POSEvt>},
      {"stored pos", 1024, stored, 0, holds<StoredPOSEvt>},
      {"analytic", 65536, live, 0, holds<AnalyticEvt>},
      {"stored analytic", 65536, stored, 0, holds<StoredAnalyticEvt>},
  };
  for (const ViewCase& c : cases) {
    const EventParms e = record(c.type, c.flags, c.frameFlags);
    EXPECT_TRUE(c.isExpected(typedView(e), e)) << c.what;
  }
}

TEST(TypedView, TypesWithoutClassGiveAnEmptyValue) {
  for (uint32_t type : {0u, 128u, 512u, 4096u, 8192u, 0x8000u, 0x4000u, 0x20000u}) {
    EXPECT_FALSE(typedView(record(type, DVR_FLAG_LIVE)).has_value()) << type;
    EXPECT_FALSE(typedView(record(type, DVR_FLAG_STORED)).has_value()) << type;
  }
}

TEST(EventRecord, TypeNamesIgnoreTheModifierBit) {
  const std::vector<std::pair<uint32_t, const char*>> names = {
      {0, "unspecified"}, {1, "video"},     {2, "audio"},    {4, "alarm"},       {8, "ptz"},
      {16, "serial"},     {32, "watchdog"}, {64, "log"},     {256, "config"},    {512, "decref"},
      {1024, "pos"},      {4096, "cancel"}, {8192, "ipc"},   {0x8000, "crypto"}, {0x10000, "analytic"},
      {0x4001, "video"},  {0x4040, "log"},  {0x4000, "unspecified"}, {128, "unknown"}, {3, "unknown"},
      {0x20000, "unknown"}};
  for (const auto& [type, name] : names) EXPECT_EQ(typeName(type), name) << type;
}

// ---- payload blocks --------------------------------------------------------

class PayloadBlocks : public ::testing::Test {
 protected:
  uint32_t count0 = payloadBlockCount.load();
  uint32_t bytes0 = payloadBlockBytes.load();
  std::array<uint32_t, 256> held0 = heldNow();

  static std::array<uint32_t, 256> heldNow() {
    std::array<uint32_t, 256> held{};
    for (size_t i = 0; i < held.size(); ++i) held[i] = heldReferences[i].load();
    return held;
  }
  void expectCountersBack() {
    EXPECT_EQ(payloadBlockCount.load(), count0);
    EXPECT_EQ(payloadBlockBytes.load(), bytes0);
    EXPECT_EQ(heldNow(), held0);
  }
};

TEST_F(PayloadBlocks, ABlockIsACopyWithItsTotalSizeAndCountInFront) {
  const std::string bytes = "frame bytes";
  PayloadBlockPtr block = newPayloadBlock(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ASSERT_TRUE(block);
  EXPECT_NE(block.get(), static_cast<const void*>(bytes.data()));
  EXPECT_EQ(std::memcmp(block.get(), bytes.data(), bytes.size()), 0);
  uint32_t header[2];
  std::memcpy(header, static_cast<const char*>(block.get()) - 8, sizeof header);
  EXPECT_EQ(header[0], bytes.size() + 8);
  EXPECT_EQ(header[1], 0u);
  EXPECT_EQ(payloadBlockCount.load(), count0 + 1);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0 + bytes.size() + 8);

  block.reset();  // never handed over: uncounted and freed
  expectCountersBack();
}

TEST_F(PayloadBlocks, ReferencesAreCountedPerBlockAndPerPlugin) {
  const std::string bytes(100, 'v');
  void* payload = newPayloadBlock(bytes.data(), 100).release();
  acquire(payload, 0);
  acquire(payload, 5);
  acquire(payload, 0x105);  // only the low 8 bits name the plug-in
  EXPECT_EQ(referenceCount(payload), 3u);
  EXPECT_EQ(heldReferences[5].load(), held0[5] + 2);
  EXPECT_EQ(heldReferences[0].load(), held0[0] + 1);

  release(payload, 5);
  release(payload, 5);
  EXPECT_EQ(referenceCount(payload), 1u);
  EXPECT_EQ(payloadBlockCount.load(), count0 + 1);
  EXPECT_EQ(release(payload, 0), 0);  // the last reference frees the block
  expectCountersBack();
}

TEST_F(PayloadBlocks, CountersComeBackAfterConcurrentAcquireAndRelease) {
  constexpr int kThreads = 8, kRounds = 20000;
  const std::string bytes(64, 'a');
  void* shared = newPayloadBlock(bytes.data(), 64).release();
  acquire(shared, 0);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([shared, t, &bytes] {
      const uint32_t id = static_cast<uint32_t>(t + 1);
      for (int i = 0; i < kRounds; ++i) {
        acquire(shared, id);
        if (i % 2) acquire(shared, id);
        release(shared, id);
        if (i % 2) release(shared, id);
        // Blocks of their own, born and freed on this thread meanwhile.
        void* own = newPayloadBlock(bytes.data(), static_cast<uint32_t>(i % 64)).release();
        acquire(own, id);
        release(own, id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(referenceCount(shared), 1u);
  EXPECT_EQ(payloadBlockCount.load(), count0 + 1);
  release(shared, 0);
  expectCountersBack();
}
