// The daemon's information packet and the receive path's packet handling,
// driven through the core's receive buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "core/DvrCore.h"
#include "events/PayloadBlock.h"
#include "ipc/DaemonInfo.h"

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
