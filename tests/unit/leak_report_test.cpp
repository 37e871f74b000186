// The payload leak report written when the core is destroyed while blocks
// are still alive.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "core/DvrCore.h"
#include "plugin_events.hpp"
#include "events/PayloadBlock.h"

using namespace km::core;

namespace {

// Builds a core, queues events and lets plug-in 5 keep two references, then
// destroys the core and returns its console output.
std::string destroyWithKeptPayloads(bool lowerThreshold, const void** keptOut) {
  auto core = std::make_unique<DvrCore>("/nonexistent/dvrcore");
  theCore = core.get();
  if (lowerThreshold) core->logLevels[0].store(0);
  core->moduleNames[5] = "cam";
  char text[] = "0123456789";
  EventParms e = makeEventRecord(DVR_TYPE_ALARM, DVR_FLAG_LIVE);
  e.source = DVR_SOURCE_PLUGIN(5);
  e.payload = text;
  e.length = 10;
  EXPECT_EQ(core->route(e), 0);
  const void* block = core->eventQueue.back().payload;
  acquire(block, 5);
  acquire(block, 5);
  acquire(block, 0x22);  // an id nobody registered
  *keptOut = block;
  core->Stop();
  testing::internal::CaptureStdout();
  core.reset();
  std::fflush(stdout);
  const std::string output = testing::internal::GetCapturedStdout();
  theCore = nullptr;
  return output;
}

void giveBack(const void* block) {
  release(block, 5);
  release(block, 5);
  release(block, 0x22);
  release(block, 0);  // the queued event's own reference
}

}  // namespace

TEST(LeakReport, BlocksAliveAtTheEndAreReportedPerHolder) {
  const uint32_t blocksBefore = payloadBlockCount.load();
  const void* block = nullptr;
  const std::string output = destroyWithKeptPayloads(true, &block);
  const std::string expectedCount = std::to_string(blocksBefore + 1);
  EXPECT_NE(output.find(" refblks: " + expectedCount + "("), std::string::npos) << output;
  EXPECT_NE(output.find("Plugin 05:cam unloaded holding 2 event reference(s)."), std::string::npos) << output;
  EXPECT_NE(output.find("Plugin 22:unknown unloaded holding 1 event reference(s)."), std::string::npos) << output;
  // The core's own reference of the still-queued event is reported too.
  EXPECT_NE(output.find("Plugin 00:core unloaded holding"), std::string::npos) << output;
  // Level 0: the grey band.
  EXPECT_NE(output.find("\x1b[38;5;248m"), std::string::npos);
  giveBack(block);
  EXPECT_EQ(payloadBlockCount.load(), blocksBefore);
}

TEST(LeakReport, HiddenAtTheDefaultThreshold) {
  const void* block = nullptr;
  const std::string output = destroyWithKeptPayloads(false, &block);
  EXPECT_EQ(output.find("refblks"), std::string::npos) << output;
  giveBack(block);
}
