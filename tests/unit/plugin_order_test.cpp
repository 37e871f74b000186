// The load step's and close step's rules as functions: what the scan keeps
// and why it passes the rest over, the load order with its duplicate test and
// id 6 in front, the close order, and who is handed searches. Stand-in
// records make the rules testable without libraries.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>

#include "plugins/Plugin.h"
#include "plugins/PluginDiscovery.h"
#include "plugins/PluginLifecycle.h"

using namespace km::core;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dvrcore-order-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path touch(const fs::path& relative) const {
    fs::create_directories((path / relative).parent_path());
    std::ofstream(path / relative) << "x";
    return path / relative;
  }
  fs::path path;
};

LoadOut declaring(uint32_t idWord, uint32_t closeRank = 0) {
  LoadOut d{};
  d.size = sizeof d;
  d.version = DVR_LOAD_OUT_VERSION;
  d.idWord = idWord;
  d.closeRank = closeRank;
  return d;
}

Strings fileNames(const std::vector<PluginPtr>& plugins) {
  Strings names;
  for (const PluginPtr& plugin : plugins) names.push_back(plugin->fileName);
  return names;
}

}  // namespace

TEST(PluginScan, KeepsExactSoNamesAndSaysWhyItPassedTheRestOver) {
  TempDir tree;
  tree.touch("protected-plugins/Cam.so");
  tree.touch("plugins/Cam.so");
  tree.touch("plugins/b.so");
  tree.touch("plugins/A.so");
  tree.touch("plugins/zzdIDUvi.so");
  tree.touch("plugins/Y.SO");
  tree.touch("plugins/LogPI.so");
  tree.touch("protected-plugins/LogPI.so");
  fs::create_directories(tree.path / "plugins" / "dir.so");
  fs::create_symlink(tree.path / "plugins" / "nothing", tree.path / "plugins" / "dangling.so");

  const PluginScan scan = scanPluginFolders(tree.path);
  Strings kept;
  for (const fs::path& path : scan.libraries) kept.push_back(path.lexically_relative(tree.path).string());
  EXPECT_EQ(kept, (Strings{"plugins/zzdIDUvi.so", "plugins/A.so", "plugins/b.so", "protected-plugins/Cam.so"}));
  EXPECT_EQ(findPluginLibraries(tree.path), scan.libraries);

  Strings skipped;
  for (const PluginScan::Skipped& skip : scan.skipped) {
    const char* reason[] = {"name", "not-file", "log", "same-name"};
    std::string line = skip.path.lexically_relative(tree.path).string() + " " + reason[static_cast<int>(skip.reason)];
    if (!skip.keptInstead.empty()) line += " " + skip.keptInstead.lexically_relative(tree.path).string();
    skipped.push_back(line);
  }
  std::sort(skipped.begin(), skipped.end());
  EXPECT_EQ(skipped, (Strings{"plugins/Cam.so same-name protected-plugins/Cam.so", "plugins/LogPI.so log",
                              "plugins/Y.SO name", "plugins/dangling.so not-file", "plugins/dir.so not-file",
                              "protected-plugins/LogPI.so log"}));
  EXPECT_EQ(logPluginPath(tree.path), tree.path / "plugins" / "LogPI.so");
}

TEST(PluginLoadStep, RefusesTakenIdsPutsId6FirstAndTellsAsItGoes) {
  // (file name, id word, load code) in load order.
  const std::vector<std::tuple<std::string, uint32_t, int32_t>> libraries = {
      {"a.so", DVR_SOURCE_PLUGIN(1), 0},   {"bad.so", DVR_SOURCE_PLUGIN(2), 3},
      {"c.so", DVR_SOURCE_PLUGIN(1), 0},   {"none.so", DVR_SOURCE_CORE, 0},
      {"none2.so", DVR_SOURCE_CORE, 0},    {"six.so", DVR_SOURCE_PLUGIN(6), 0},
      {"zero.so", 0, 0},                   {"zero2.so", DVR_SOURCE_PLUGIN(0) | 0x1000000, 0},
  };
  std::vector<fs::path> paths;
  for (const auto& library : libraries) paths.push_back(std::get<0>(library));
  const LibraryLoader load = [&](const fs::path& path) {
    const auto& [name, idWord, code] =
        *std::find_if(libraries.begin(), libraries.end(), [&](const auto& l) { return std::get<0>(l) == path; });
    return Plugin::standIn(name, declaring(idWord), code, code ? "load code 3" : "");
  };
  Strings told;
  LoadStepListener listener;
  listener.failed = [&](const Plugin& p) { told.push_back("failed " + p.fileName); };
  listener.refused = [&](const Plugin& taken, const Plugin& p) { told.push_back("refused " + p.fileName + " for " + taken.fileName); };
  listener.loaded = [&](const Plugin& p) { told.push_back("loaded " + p.fileName); };
  std::vector<PluginPtr> plugins;
  std::vector<PluginPtr> failed;
  loadInOrder(paths, load, listener, plugins, failed);

  EXPECT_EQ(told, (Strings{"loaded a.so", "failed bad.so", "refused c.so for a.so", "loaded none.so",
                           "refused none2.so for none.so", "loaded six.so", "loaded zero.so",
                           "refused zero2.so for zero.so"}));
  EXPECT_EQ(fileNames(plugins), (Strings{"six.so", "a.so", "none.so", "zero.so"}));
  EXPECT_EQ(fileNames(failed), Strings{"bad.so"});
}

TEST(PluginCloseStep, WithholdsId8AndClosesLargerRanksFirstThenByNameIgnoringCase) {
  const std::vector<PluginPtr> plugins = {
      Plugin::standIn("a.so", declaring(DVR_SOURCE_PLUGIN(1), 1), 0, ""),
      Plugin::standIn("log.so", declaring(DVR_SOURCE_PLUGIN(8)), 0, ""),
      Plugin::standIn("D.so", declaring(DVR_SOURCE_PLUGIN(2), 5), 0, ""),
      Plugin::standIn("b.so", declaring(DVR_SOURCE_PLUGIN(3), 5), 0, ""),
      Plugin::standIn("none.so", declaring(DVR_SOURCE_CORE, 0x80000000u), 0, ""),  // unsigned ranks
      Plugin::standIn("zero.so", declaring(0x00000001u), 0, ""),  // plug-in id 00, other bits set
  };
  std::vector<PluginPtr> closing = withoutWithheld(plugins);
  EXPECT_EQ(fileNames(closing), (Strings{"a.so", "D.so", "b.so", "none.so", "zero.so"}));
  sortForClosing(closing);
  EXPECT_EQ(fileNames(closing), (Strings{"none.so", "b.so", "D.so", "a.so", "zero.so"}));
  EXPECT_TRUE(isWithheld(*plugins[1]));
  EXPECT_FALSE(isWithheld(*plugins[4]));
}

TEST(SearchProviders, OnSearchOrAReaderThatDeclaresStoredEvents) {
  const uint32_t stored = DVR_INTEREST_STORED;
  const struct {
    bool onSearch, read, reader;
    uint32_t LoadOut::*word;
    uint32_t value;
    bool provider;
  } cases[] = {
      {true, false, false, &LoadOut::videoInterest, 0, true},
      {false, true, true, &LoadOut::videoInterest, stored, true},
      {false, true, true, &LoadOut::analyticInterest, stored, true},
      {false, true, true, &LoadOut::logInterest, stored | DVR_INTEREST_LIVE, true},
      {false, true, true, &LoadOut::ptzInterest, stored, false},     // not read for PTZ
      {false, true, true, &LoadOut::serialInterest, stored, false},  // nor for serial
      {false, true, true, &LoadOut::videoInterest, DVR_INTEREST_LIVE, false},
      {false, true, false, &LoadOut::videoInterest, stored, false},  // Read without the reader
      {false, false, true, &LoadOut::videoInterest, stored, false},  // the reader without Read
  };
  for (const auto& c : cases) {
    LoadOut d = declaring(DVR_SOURCE_PLUGIN(4));
    d.wantsAsyncReader = c.reader;
    d.*c.word = c.value;
    EXPECT_EQ(servesSearches(d, c.onSearch, c.read), c.provider)
        << c.onSearch << c.read << c.reader << " 0x" << std::hex << c.value;
  }
}
