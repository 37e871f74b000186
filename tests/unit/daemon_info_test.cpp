// The daemon's information packet and the receive path's packet handling,
// driven through the core's receive buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/DvrCore.h"
#include "events/PayloadBlock.h"
#include "ipc/DaemonInfo.h"
#include "plugins/Plugin.h"

using namespace km::core;

namespace {

DaemonInfo parse(const std::string& payload) {
  return parseDaemonInfo(reinterpret_cast<const unsigned char*>(payload.data()),
                         static_cast<uint32_t>(payload.size()));
}

class ReceivePath : public ::testing::Test {
 protected:
  void SetUp() override {
    theCore = &core;
    core.handIpcRoutes({});  // plug-ins "open": packets for them are routed (to nobody)
  }
  void TearDown() override {
    // Messages logged on the way were queued for a dispatch loop that never
    // ran: give their payloads back.
    for (const EventParms& queued : core.eventQueue) release(queued.payload, 0);
    core.eventQueue.clear();
    theCore = nullptr;
  }

  // Appends bytes to the receive buffer as if one receive brought them.
  void receive(const std::string& bytes) {
    std::memcpy(core.ipcRecvBuffer.data() + core.ipcRecvFill, bytes.data(), bytes.size());
    core.onReceive({}, bytes.size());
  }

  static std::string packet(uint32_t length, uint32_t kind, const std::string& payload) {
    std::string bytes(16, '\0');
    std::memcpy(bytes.data(), &length, 4);
    std::memcpy(bytes.data() + 8, &kind, 4);
    return bytes + payload;
  }

  DvrCore core{"/nonexistent/dvrcore"};
};

}  // namespace

TEST(DaemonInfoPayload, StringsAreSplitAtNulBytes) {
  auto info = parse(std::string("a\0b\0Background:true", 19));
  EXPECT_EQ(info.fileName, "a");
  EXPECT_EQ(info.version, "b");
  EXPECT_TRUE(info.background);

  info = parse(std::string("a\0\0Background:true\0more", 24));
  EXPECT_EQ(info.version, "");
  EXPECT_TRUE(info.background);
}

TEST(DaemonInfoPayload, OnlyTheExactSwitchSetsBackground) {
  for (const char* third : {"background:true", "Background:false", "Background:true ", "Background:tru"}) {
    const auto info = parse(std::string("a\0b\0", 4) + third);
    EXPECT_FALSE(info.background) << third;
    EXPECT_EQ(info.version, "b");
  }
}

TEST(DaemonInfoPayload, ShortPayloadsGiveWhatTheyHave) {
  EXPECT_FALSE(parse("").fileName.has_value());
  auto one = parse("korvod");  // no NUL at all
  EXPECT_EQ(one.fileName, "korvod");
  EXPECT_FALSE(one.version.has_value());
  auto trailing = parse(std::string("korvod\0", 7));
  EXPECT_EQ(trailing.fileName, "korvod");
  EXPECT_FALSE(trailing.version.has_value());
}

TEST_F(ReceivePath, KindSevenReplacesOnlyTheStringsItCarries) {
  receive(packet(16 + 9, 7, std::string("kd\0" "1.0\0" "x", 8) + "y"));
  EXPECT_EQ(core.daemonFilenameCopy(), "kd");
  EXPECT_EQ(core.daemonVersionCopy(), "1.0");
  receive(packet(16 + 3, 7, "new"));
  EXPECT_EQ(core.daemonFilenameCopy(), "new");
  EXPECT_EQ(core.daemonVersionCopy(), "1.0");
  receive(packet(16, 7, ""));
  EXPECT_EQ(core.daemonFilenameCopy(), "new");
  EXPECT_FALSE(core.background.load());
  EXPECT_EQ(core.ipcRecvFill, 0u);
}

TEST_F(ReceivePath, StopPacketRequestsTheStopAndLaterPacketsAreStillRead) {
  receive(packet(16, 8, "") + packet(16 + 4, 7, "late"));
  EXPECT_TRUE(core.stopping());
  EXPECT_EQ(core.daemonFilenameCopy(), "late");
}

TEST_F(ReceivePath, PartialPacketWaitsForItsRest) {
  const std::string whole = packet(16 + 6, 7, "korvod");
  receive(whole.substr(0, 10));
  EXPECT_EQ(core.ipcRecvFill, 10u);
  receive(whole.substr(10, 8));
  EXPECT_EQ(core.ipcRecvFill, 18u);
  EXPECT_EQ(core.daemonFilenameCopy(), "");
  receive(whole.substr(18));
  EXPECT_EQ(core.ipcRecvFill, 0u);
  EXPECT_EQ(core.daemonFilenameCopy(), "korvod");
}

TEST_F(ReceivePath, BadLengthsEmptyTheBuffer) {
  receive(packet(65537, 7, "abc") + packet(20, 7, "lost"));
  EXPECT_EQ(core.ipcRecvFill, 0u);
  receive(packet(0, 7, "zero"));
  EXPECT_EQ(core.ipcRecvFill, 0u);
  EXPECT_EQ(core.daemonFilenameCopy(), "");
}

TEST_F(ReceivePath, ShortLengthsConsumeThatManyBytes) {
  // A length of 4 consumes four bytes; what follows is read as a new packet.
  std::string bytes = packet(4, 99, "");
  bytes.resize(4);
  receive(bytes + packet(16 + 2, 7, "ok"));
  EXPECT_EQ(core.daemonFilenameCopy(), "ok");
  EXPECT_EQ(core.ipcRecvFill, 0u);
}

namespace {
std::vector<std::string> seenHeaders;
void keepHeader(const void* packet, uint32_t) {
  seenHeaders.emplace_back(static_cast<const char*>(packet), 16);
}
}  // namespace

TEST_F(ReceivePath, APacketShorterThanItsHeaderIsHandedOverWithTheBytesThatFollowIt) {
  // Every packet goes to the plug-in with id 0x12. The short one's header runs
  // into the packet behind it, exactly as the stream carries it.
  LoadOut declaration{};
  declaration.size = sizeof declaration;
  declaration.idWord = 0x00120000u;
  PluginPtr plugin = Plugin::standIn("standin.so", declaration);
  plugin->OnIpcResult = keepHeader;
  core.handIpcRoutes({plugin});
  auto routed = [](std::string bytes) {
    const uint32_t route = 0x12u << 20;
    std::memcpy(bytes.data() + 4, &route, 4);
    return bytes;
  };
  // Its route word is its own; its kind word is the next packet's length.
  const std::string shortOne = routed(packet(8, 50, "")).substr(0, 8);
  const std::string stream = routed(packet(20, 50, "abcd")) + shortOne + routed(packet(20, 51, "efgh"));
  seenHeaders.clear();
  receive(stream);
  ASSERT_EQ(seenHeaders.size(), 3u);
  EXPECT_EQ(seenHeaders[0], stream.substr(0, 16));
  EXPECT_EQ(seenHeaders[1], stream.substr(20, 16));
  EXPECT_EQ(seenHeaders[2], stream.substr(28, 16));
  EXPECT_EQ(core.ipcRecvFill, 0u);
}
