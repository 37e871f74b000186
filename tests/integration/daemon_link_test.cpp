// The daemon pipe, seen from the daemon's end: packets in (information,
// stop, packets for plug-ins) and plug-ins' packets out.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

std::string word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

std::string packet(uint32_t length, uint32_t routeWord, uint32_t kind, const std::string& payload) {
  return word(length) + word(routeWord) + word(kind) + word(0) + payload;
}

std::string packetFor(uint32_t id, const std::string& payload, uint32_t kind = 50) {
  return packet(static_cast<uint32_t>(16 + payload.size()), id << 20, kind, payload);
}

// Two plug-ins with ids 0x12 and 0x13, one without id, all journaling the
// packets they get.
class DaemonLink : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.addPlugin("tp_basic", "first.so", {{"id", "0x120000"}});
    tree.addPlugin("tp_ioctl", "second.so", {{"id", "0x130000"}});
    tree.addPlugin("tp_basic", "noid.so", {{"id", "none"}});
  }

  void start() {
    core.emplace(tree);
    ASSERT_TRUE(core->waitForOutput("Opening 00:noid"));
  }

  std::vector<std::string> packetsOf(const std::string& plugin) {
    return tree.journalLines({plugin + " ipc "});
  }

  InstallTree tree;
  std::optional<CoreProcess> core;
};

}  // namespace

TEST_F(DaemonLink, PacketsReachTheFirstPluginWithTheRouteIdAndNoOther) {
  start();
  // Bits 20-27 select the plug-in; the other bits of the route word are noise.
  core->sendRaw(packet(20, (0x12u << 20) | 0xF00FFFFFu, 50, "abcd"));
  core->sendRaw(packet(20, (0x13u << 20) | 0x000ABCDEu, 51, "efgh"));
  core->sendRaw(packetFor(0x77, "nobody"));
  core->sendRaw(packetFor(0x00, "zero"));
  ASSERT_TRUE(eventually([&] { return packetsOf("first.so").size() == 1 && packetsOf("second.so").size() == 1; }));
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_EQ(packetsOf("first.so").front().find("ipc length=20 kind=50 thread=other payload='abcd'") !=
                std::string::npos,
            true)
      << packetsOf("first.so").front();
  // second.so has no OnIpcResult: the packet arrives through IOCTL code 4.
  EXPECT_EQ(tree.journalLines({"second.so IOCTL code=4", "length=20"}).size(), 1u);
  EXPECT_EQ(packetsOf("second.so").size(), 1u);
  EXPECT_TRUE(packetsOf("noid.so").empty());
  EXPECT_EQ(packetsOf("first.so").size(), 1u);
}

TEST_F(DaemonLink, PacketsSplitOverRecordsAndSharingARecordAreAllDelivered) {
  start();
  const std::string whole = packetFor(0x12, std::string(100, 'x'));
  core->sendRaw(whole.substr(0, 30));
  core->sendRaw(whole.substr(30));
  core->sendRaw(packetFor(0x12, "one") + packetFor(0x12, "two") + packetFor(0x12, "three"));
  ASSERT_TRUE(eventually([&] { return packetsOf("first.so").size() == 4; }));
  const auto lines = packetsOf("first.so");
  EXPECT_NE(lines[0].find("length=116"), std::string::npos);
  EXPECT_NE(lines[1].find("'one'"), std::string::npos);
  EXPECT_NE(lines[2].find("'two'"), std::string::npos);
  EXPECT_NE(lines[3].find("'three'"), std::string::npos);
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, LengthLimitsAreEnforcedAndTheBufferEmptied) {
  start();
  // Exactly 65,536 bytes, sent in two records: accepted.
  const std::string largest = packetFor(0x12, std::string(65536 - 16, 'L'));
  core->sendRaw(largest.substr(0, 40000));
  core->sendRaw(largest.substr(40000));
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"first.so ipc length=65536"}).empty(); }));

  // 65,537 is rejected as soon as its header is in, with whatever follows it
  // in the buffer; the next record starts afresh.
  core->sendRaw(packet(65537, 0x12u << 20, 50, "tail") + packetFor(0x12, "lost"));
  ASSERT_TRUE(core->waitForOutput("bad ipc packet length"));
  // A zero length is just as bad, and must not hang the core.
  core->sendRaw(packet(0, 0x12u << 20, 50, "zero") + packetFor(0x12, "lost too"));
  core->sendRaw(packetFor(0x12, "after"));
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"first.so ipc", "'after'"}).empty(); }));
  core->stop();
  EXPECT_EQ(core->wait(), 0);

  EXPECT_TRUE(tree.journalLines({"'lost"}).empty());
  const auto messages = linesWith(core->output(), "bad ipc packet length");
  ASSERT_EQ(messages.size(), 2u);
  // Level 50: the notice colour.
  EXPECT_EQ(messages[0].rfind("\x1b[38;5;227m", 0), 0u);
}

TEST_F(DaemonLink, StopPacketStopsAndAPacketBehindItIsStillDelivered) {
  start();
  core->sendRaw(packet(16, 0, 8, "") + packetFor(0x12, "behind"));
  EXPECT_EQ(core->wait(), 0);
  EXPECT_EQ(tree.journalLines({"first.so ipc", "'behind'"}).size(), 1u);
  const std::string console = stripColours(core->output());
  // (Core lines carry the name "noid" here: a plug-in without id takes slot 0.)
  EXPECT_NE(console.find(" Closing 12:first"), std::string::npos) << console;
  EXPECT_NE(console.find(" Unloading 12:first"), std::string::npos);
}

TEST_F(DaemonLink, DaemonClosingItsEndStopsTheCore) {
  start();
  core->closeDaemonEnd();
  EXPECT_EQ(core->wait(), 0);
  const auto lost = linesWith(core->output(), "korvod ipc pipe disconnected");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].rfind("\x1b[38;5;37m\x1b[38;5;1m", 0), 0u);  // level 100
  EXPECT_EQ(tree.journalLines({"first.so Unload"}).size(), 1u);
}

TEST_F(DaemonLink, DaemonVanishingMidPacketStopsTheCoreWithoutDeliveringThePart) {
  start();
  core->sendRaw(packetFor(0x12, std::string(200, 'p')).substr(0, 50));
  core->closeDaemonEnd();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_TRUE(packetsOf("first.so").empty());
}

TEST_F(DaemonLink, PluginPacketsLeaveWholeInRecordsOfAtMost64KiB) {
  start();
  core->sendPacket(0x12, 100, "post type=8192 length=100000");
  auto first = core->receiveRecord();
  auto second = core->receiveRecord();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 65536u);
  EXPECT_EQ(second->size(), 34464u);
  EXPECT_EQ(*first + *second, std::string(100000, 'b'));
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"posted", "results=0"}).empty(); }));
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, PacketsFromSeveralThreadsLeaveInOrderAndEachWhole) {
  start();
  core->sendPacket(0x12, 100, "post type=8192 threads=4 count=50 tag=o");
  std::map<std::string, int> nextOf;
  for (int received = 0; received < 200; ++received) {
    auto record = core->receiveRecord();
    ASSERT_TRUE(record) << "after " << received << " packets";
    // "o:<thread>:<sequence>", each thread's packets in posting order.
    const auto firstColon = record->find(':');
    const auto secondColon = record->find(':', firstColon + 1);
    const std::string thread = record->substr(firstColon + 1, secondColon - firstColon - 1);
    EXPECT_EQ(std::stoi(record->substr(secondColon + 1)), nextOf[thread]++) << *record;
  }
  EXPECT_EQ(nextOf.size(), 4u);
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, PacketsBeyondWhatTheSocketHoldsWaitAndLeaveInOrder) {
  start();
  // Far more than the socket buffers: the core must wait for room and go on,
  // losing nothing, first with small packets, then with 64 KiB ones.
  core->sendPacket(0x12, 100, "post type=8192 count=2000 tag=w");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"posted tag=w"}).empty(); }));
  for (int sequence = 0; sequence < 2000; ++sequence) {
    auto record = core->receiveRecord();
    ASSERT_TRUE(record) << "after " << sequence << " packets";
    ASSERT_EQ(*record, "w:0:" + std::to_string(sequence));
  }
  core->sendPacket(0x12, 100, "post type=8192 count=40 length=65536");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"posted tag=p"}).empty(); }));
  for (int received = 0; received < 40; ++received) {
    auto record = core->receiveRecord();
    ASSERT_TRUE(record) << "after " << received << " packets";
    ASSERT_EQ(*record, std::string(65536, 'b'));
  }
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, QueuedPacketsOfEverySizeLeaveInOrderAndAnEmptyOneLeavesNothing) {
  start();
  // The first command fills the socket, so the packets of the commands
  // behind it wait in the core together: small ones, one above 64 KiB (two
  // records) and an empty one between them.
  core->sendPacket(0x12, 100, "post type=8192 count=2000 tag=w");
  core->sendPacket(0x12, 100, "post type=8192 count=2 tag=x");
  core->sendPacket(0x12, 100, "post type=8192 length=100000");
  core->sendPacket(0x12, 100, "post type=8192 length=0");
  core->sendPacket(0x12, 100, "post type=8192 count=3 tag=z");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"posted tag=z"}).empty(); }));
  std::vector<std::string> expected;
  for (int sequence = 0; sequence < 2000; ++sequence) expected.push_back("w:0:" + std::to_string(sequence));
  expected.insert(expected.end(), {"x:0:0", "x:0:1", std::string(65536, 'b'), std::string(34464, 'b')});
  expected.insert(expected.end(), {"z:0:0", "z:0:1", "z:0:2"});
  for (std::size_t index = 0; index < expected.size(); ++index) {
    auto record = core->receiveRecord();
    ASSERT_TRUE(record) << "after " << index << " packets";
    ASSERT_EQ(record->size(), expected[index].size()) << "record " << index;
    ASSERT_EQ(*record, expected[index]) << "record " << index;
  }
  // Nothing else follows: the next record is the one posted now.
  core->sendPacket(0x12, 100, "post type=8192 count=1 tag=end");
  auto last = core->receiveRecord();
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, "end:0:0");
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, ABacklogOfPacketsIsDeliveredWholeAndInOrder) {
  // Sent before the plug-ins are open: they pile up in the socket and are
  // taken in one burst once the plug-ins are ready.
  core.emplace(tree);
  for (int sequence = 0; sequence < 200; ++sequence) core->sendRaw(packetFor(0x12, "b" + std::to_string(sequence)));
  ASSERT_TRUE(eventually([&] { return packetsOf("first.so").size() == 200; }));
  const auto lines = packetsOf("first.so");
  for (int sequence = 0; sequence < 200; ++sequence) {
    EXPECT_NE(lines[sequence].find("'b" + std::to_string(sequence) + "'"), std::string::npos) << lines[sequence];
  }
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(DaemonLink, DaemonInformationWithBackgroundSilencesTheConsole) {
  start();
  core->sendDaemonInfo(std::string("korvod\0" "9.9\0" "Background:true", 26));
  // Once the switch is in, plug-in log lines no longer reach the console.
  core->sendPacket(0x12, 100, "post type=64 flags=0x1000002 source=0x120000 param=50 text=quiet please");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"posted", "results=0"}).empty(); }));
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  const std::string console = stripColours(core->output());
  EXPECT_EQ(console.find("quiet please"), std::string::npos);
  EXPECT_EQ(console.find("Closing"), std::string::npos);
}

TEST_F(DaemonLink, AThirdStringOtherThanTheExactSwitchKeepsTheConsole) {
  start();
  core->sendDaemonInfo(std::string("korvod\0" "9.9\0" "background:true", 26));
  core->sendPacket(0x12, 100, "post type=64 flags=0x1000002 source=0x120000 param=50 text=still loud");
  ASSERT_TRUE(core->waitForOutput("still loud"));
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_NE(core->output().find("Closing 12:first"), std::string::npos);
}

TEST(DaemonLinkWithoutPipe, IpcEventsAreRefusedWithOne) {
  InstallTree tree;
  tree.addPlugin("tp_basic", "first.so", {{"id", "0x120000"}, {"onOpen", "post type=8192 text=nowhere"}});
  CoreProcess::Options options;
  options.withPipe = false;
  CoreProcess core(tree, options);
  EXPECT_EQ(core.wait(), 0);
  EXPECT_EQ(tree.journalLines({"first.so posted", "results=1"}).size(), 1u);
}
