// Which configuration entries address which module, and which config events
// count as deltas: the rules applied to the core's thresholds directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "InProcessCore.h"

using namespace km::core;
using namespace dvrtest;

namespace {

std::string modules(const std::string& entries) {
  return "<?xml?><kDVR><Modules><Module>" + entries + "</Module></Modules></kDVR>";
}
std::string entry(const std::string& id, const std::string& level) {
  return "<Plugin ID=\"" + id + "\" LogLevel=\"" + level + "\"/>";
}

class ConfigRules : public ::testing::Test {
 protected:
  InstallTree tree;
  InProcessCore core;
  std::filesystem::path savedDir = std::filesystem::current_path();

  void SetUp() override { std::filesystem::current_path(tree.workDir()); }
  void TearDown() override { std::filesystem::current_path(savedDir); }
  int32_t level(uint32_t slot) const { return core->logLevels[slot].load(); }
  std::size_t statusEventsQueued() {
    std::size_t count = 0;
    for (const QueuedEvent& e : core.drainQueue()) count += e.record.source == kCoreId && e.record.type == DVR_TYPE_CONFIG;
    return count;
  }
};

TEST_F(ConfigRules, EntriesAddressTheCoreOrBits16To23AndAreClampedToMinusOneTo100) {
  const struct {
    std::string text;
    uint32_t slot;
    int32_t level;  // -1 also for "left alone"
  } cases[] = {
      {entry("-2147483648", "200"), 0, 100},  {entry("-2147483648", "-7"), 0, -1},
      {entry("131072", "40"), 2, 40},         {entry("131073", "41"), 2, 41},
      {entry("131072abc", "42"), 2, 42},      {entry("65536", "43"), 1, -1},
      {entry("0", "44"), 0, -1},              {entry("2147483648", "45"), 0, -1},
      {entry("-131072", "46"), 254, 46},      {entry("196608", ""), 3, -1},
      {entry("196608", "x"), 3, -1},          {entry("196608", "-2147483648"), 3, -1},
      {"<Plugin LogLevel=\"47\"/>", 0, -1},
  };
  for (const auto& c : cases) {
    for (auto& slot : core->logLevels) slot = -1;
    const bool changed = core->applyModuleSettings(modules(c.text));
    EXPECT_EQ(level(c.slot), c.level) << c.text;
    EXPECT_EQ(changed, c.level != -1) << c.text;
  }

  EXPECT_TRUE(core->applyModuleSettings("<?xml?><kDVR><Modules><Module>" + entry("262144", "4") + "</Module><Other/><Module>" +
                                        entry("327680", "5") + "</Module></Modules><Plugin ID=\"393216\" LogLevel=\"6\"/></kDVR>"));
  EXPECT_EQ(level(4), 4);
  EXPECT_EQ(level(5), 5) << "every Module is applied";
  EXPECT_EQ(level(6), -1) << "a Plugin outside a Module is not";
  EXPECT_FALSE(core->applyModuleSettings(modules(entry("262144", "4")))) << "the same value again changes nothing";
  EXPECT_FALSE(core->applyModuleSettings("<?xml?><kDVR><Modules>")) << "not well formed";
}

TEST_F(ConfigRules, ADeltaIsRecognisedByItsFirstBytesAndRepublishesOnlyWhenAThresholdChanged) {
  const auto delta = [](const std::string& head, int level) {
    return head + "<Module><Plugin ID=\"131072\" LogLevel=\"" + std::to_string(level) + "\"/></Module></Modules></kDVR>";
  };
  const uint32_t kConfigXml = DVR_FLAG_LIVE | DVR_FLAG_XML;
  const struct {
    const char* name;
    std::string payload;
    uint32_t type, flags, source;
    bool applied;
  } cases[] = {
      {"delta", delta("<?xml?><kDVR><Modules Delta=\"1\">", 10), DVR_TYPE_CONFIG, kConfigXml, 0x50000, true},
      {"marker at byte 104 still inside", delta("<?xml?><kDVR><Modules" + std::string(83, ' ') + "Delta=\"1\">", 11),
       DVR_TYPE_CONFIG, kConfigXml, 0x50000, true},
      {"marker from byte 105 outside", delta("<?xml?><kDVR><Modules" + std::string(84, ' ') + "Delta=\"1\">", 12),
       DVR_TYPE_CONFIG, kConfigXml, 0x50000, false},
      {"marker before byte 13", delta("<a Delta=\"1\"><Modules>", 13), DVR_TYPE_CONFIG, kConfigXml, 0x50000, false},
      {"<Modules from byte 33", delta("<?xml?><kDVR>" + std::string(20, ' ') + "<Modules Delta=\"1\">", 14),
       DVR_TYPE_CONFIG, kConfigXml, 0x50000, false},
      {"<Modules at byte 32", delta("<?xml?><kDVR>" + std::string(19, ' ') + "<Modules Delta=\"1\">", 15),
       DVR_TYPE_CONFIG, kConfigXml, 0x50000, true},
      {"from the core", delta("<?xml?><kDVR><Modules Delta=\"1\">", 16), DVR_TYPE_CONFIG, kConfigXml, kCoreId, false},
      {"modified type", delta("<?xml?><kDVR><Modules Delta=\"1\">", 17), DVR_TYPE_CONFIG | 0x4000, kConfigXml, 0x50000,
       false},
      {"no XML flag", delta("<?xml?><kDVR><Modules Delta=\"1\">", 18), DVR_TYPE_CONFIG, DVR_FLAG_LIVE, 0x50000, false},
      {"Delta 0", delta("<?xml?><kDVR><Modules Delta=\"0\">", 19), DVR_TYPE_CONFIG, kConfigXml, 0x50000, false},
      {"a few bytes", "<kDVR><Modules Delta", DVR_TYPE_CONFIG, kConfigXml, 0x50000, false},
      {"malformed", "<?xml?><kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"131072\" LogLevel=\"20\"/>", DVR_TYPE_CONFIG,
       kConfigXml, 0x50000, false},
  };
  for (const auto& c : cases) {
    core->logLevels[2] = -1;
    EventParms e = makeEvent(c.type, c.flags, c.source, c.payload);
    core->onConfigEvent(e);
    EXPECT_EQ(level(2) != -1, c.applied) << c.name;
    EXPECT_EQ(statusEventsQueued(), c.applied ? 1u : 0u) << c.name;
  }

  // The same threshold again: nothing to publish.
  const std::string sameText = delta("<?xml?><kDVR><Modules Delta=\"1\">", 30);
  EventParms same = makeEvent(DVR_TYPE_CONFIG, kConfigXml, 0x50000, sameText);
  core->onConfigEvent(same);
  EXPECT_EQ(statusEventsQueued(), 1u);
  core->onConfigEvent(same);
  EXPECT_EQ(statusEventsQueued(), 0u);
  core->Stop();
  const std::string lateText = delta("<?xml?><kDVR><Modules Delta=\"1\">", 31);
  EventParms late = makeEvent(DVR_TYPE_CONFIG, kConfigXml, 0x50000, lateText);
  core->onConfigEvent(late);
  EXPECT_EQ(level(2), 30) << "no delta is applied once the core stops";
}

}  // namespace
