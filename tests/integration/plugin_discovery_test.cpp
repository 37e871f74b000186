// Which libraries the core finds in "protected-plugins" and "plugins", in
// which order it loads and opens them, and what it says about the ones it
// refuses: the real executable with real plug-in libraries.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "CoreHarness.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

class PluginDiscovery : public ::testing::Test {
 protected:
  // Start-up and shutdown with the stop packet sent at once: every step
  // still runs. Returns the raw console output.
  std::string runThrough() {
    CoreProcess core(tree);
    core.stop();
    EXPECT_EQ(core.wait(), 0) << core.output();
    return core.output();
  }

  // File names in the order the plug-ins journaled `call`.
  std::vector<std::string> callOrder(const std::string& call) const {
    std::vector<std::string> names;
    for (const std::string& line : tree.journalLines({" " + call + " "})) {
      const std::string name = line.substr(0, line.find(' '));
      if (line.compare(name.size(), call.size() + 2, " " + call + " ") == 0) names.push_back(name);
    }
    return names;
  }

  InstallTree tree;
};

// Every console line's text, whatever module it is printed under.
std::vector<std::string> texts(const std::string& output) {
  std::vector<std::string> all;
  for (const ConsoleLine& line : consoleLines(output)) all.push_back(line.text);
  return all;
}

// The texts that begin with `prefix`, in order.
std::vector<std::string> textsStarting(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& text : texts(output)) {
    if (text.rfind(prefix, 0) == 0) found.push_back(text);
  }
  return found;
}

// The console line carrying exactly `text`; fails the test when there is none.
ConsoleLine lineWith(const std::string& output, const std::string& text) {
  for (const ConsoleLine& line : consoleLines(output)) {
    if (line.text == text) return line;
  }
  ADD_FAILURE() << "no console line \"" << text << "\" in\n" << stripColours(output);
  return {};
}

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(PluginDiscovery, OnlyRegularFilesNamedExactlySoAreLoadedFromBothFolders) {
  tree.addPlugin("tp_basic", "p.so", {{"id", "0x10000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "q.so", {{"id", "0x20000"}});
  tree.addPlugin("tp_basic", "Y.SO", {{"id", "0x30000"}});
  tree.addPlugin("tp_basic", "z.so.1", {{"id", "0x40000"}});
  tree.addPlugin("tp_basic", "noextension", {{"id", "0x40000"}});
  // A link to a library elsewhere is loaded under the link's name.
  fs::create_directories(tree.root() / "lib");
  tree.addPlugin("tp_basic", "real.so", {{"id", "0x50000"}}, tree.root() / "lib");
  fs::create_symlink(tree.root() / "lib" / "real.so", tree.pluginsDir() / "link.so");
  tree.writeFile("bin/plugins/link.so.conf", "id=0x50000\n");
  // A directory that looks like a library, and a link to nothing.
  fs::create_directories(tree.pluginsDir() / "x.so");
  tree.addPlugin("tp_basic", "inner.so", {{"id", "0x60000"}}, tree.pluginsDir() / "x.so");
  fs::create_symlink(tree.pluginsDir() / "missing.so", tree.pluginsDir() / "dangling.so");
  // The log plug-in's name is skipped by the scan in either folder; the one in
  // plugins/ is still brought up at start-up, once.
  tree.addPlugin("tp_basic", "LogPI.so", {{"id", "0x70000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "LogPI.so", {{"id", "0x80000"}});

  const std::string output = runThrough();
  EXPECT_EQ(callOrder("Load"), (Strings{"LogPI.so", "link.so", "p.so", "q.so"}));
  EXPECT_EQ(textsStarting(output, "Loaded plugin"),
            (Strings{"Loaded plugin 05:link", "Loaded plugin 01:p", "Loaded plugin 02:q"}));
  // Nothing is said about what the scan passed over.
  for (const std::string& text : texts(output)) {
    for (const char* skipped : {"Y.SO", "z.so", "noextension", "x.so", "inner", "dangling", "missing"}) {
      EXPECT_EQ(text.find(skipped), std::string::npos) << text;
    }
  }
  EXPECT_EQ(tree.journalLines({"link.so Load "}).size(), 1u);
}

TEST_F(PluginDiscovery, LibrariesLoadInCaseInsensitiveOrderWithDIDUviFirstAndId6OpensFirst) {
  tree.addPlugin("tp_basic", "b.so", {{"id", "0x110000"}});
  tree.addPlugin("tp_basic", "C.so", {{"id", "0x120000"}});
  tree.addPlugin("tp_basic", "A.so", {{"id", "0x130000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "zzdIDUvi.so", {{"id", "0x140000"}}, tree.protectedDir());
  // Only the exact spelling counts.
  tree.addPlugin("tp_basic", "adiduvi.so", {{"id", "0x150000"}});
  tree.addPlugin("tp_basic", "m.so", {{"id", "0x60000"}});

  const std::string output = runThrough();
  const Strings loadOrder{"zzdIDUvi.so", "A.so", "adiduvi.so", "b.so", "C.so", "m.so"};
  EXPECT_EQ(callOrder("Load"), loadOrder);
  EXPECT_EQ(textsStarting(output, "Loaded plugin"),
            (Strings{"Loaded plugin 14:zzdIDUvi", "Loaded plugin 13:A", "Loaded plugin 15:adiduvi",
                     "Loaded plugin 11:b", "Loaded plugin 12:C", "Loaded plugin 06:m"}));
  // The plug-in with id 6 leads the list: opened (and offered events) first.
  EXPECT_EQ(textsStarting(output, "Opening"),
            (Strings{"Opening 06:m", "Opening 14:zzdIDUvi", "Opening 13:A", "Opening 15:adiduvi", "Opening 11:b",
                     "Opening 12:C"}));
  EXPECT_EQ(callOrder("Open"), (Strings{"m.so", "zzdIDUvi.so", "A.so", "adiduvi.so", "b.so", "C.so"}));
}

TEST_F(PluginDiscovery, ProtectedFolderHidesTheSameFileNameButNotOneDifferingInCase) {
  tree.addPlugin("tp_basic", "Cam.so", {{"id", "0x10000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "Cam.so", {{"id", "0x20000"}});
  tree.addPlugin("tp_basic", "Lens.so", {{"id", "0x30000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "lens.so", {{"id", "0x40000"}});
  tree.addPlugin("tp_basic", "Iris.so", {{"id", "0x50000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "iris.so", {{"id", "0x50000"}});

  const std::string output = runThrough();
  const Strings loaded = textsStarting(output, "Loaded plugin");
  EXPECT_EQ(std::count(loaded.begin(), loaded.end(), "Loaded plugin 01:Cam"), 1);
  EXPECT_EQ(std::count(loaded.begin(), loaded.end(), "Loaded plugin 02:Cam"), 0) << "hidden, and not a duplicate";
  EXPECT_EQ(std::count(loaded.begin(), loaded.end(), "Loaded plugin 03:Lens"), 1);
  EXPECT_EQ(std::count(loaded.begin(), loaded.end(), "Loaded plugin 04:lens"), 1);
  EXPECT_EQ(tree.journalLines({"Cam.so Load "}).size(), 1u);

  // Iris.so and iris.so compare equal: either may come first, the other is refused.
  const Strings refused = textsStarting(output, "pluginId");
  ASSERT_EQ(refused.size(), 1u);
  const bool upperFirst = refused[0] == "pluginId 05 already loaded from Iris.so trying to load \"iris.so\"";
  const bool lowerFirst = refused[0] == "pluginId 05 already loaded from iris.so trying to load \"Iris.so\"";
  EXPECT_TRUE(upperFirst || lowerFirst) << refused[0];
  EXPECT_TRUE(textsStarting(output, "Failed to load").empty());
}

TEST_F(PluginDiscovery, DuplicateIdsAreRefusedWithTheHoldersNameAndTheQuotedNewcomer) {
  tree.addPlugin("tp_basic", "a.so", {{"id", "0x50000"}});
  // Only bits 16-23 are the id.
  tree.addPlugin("tp_basic", "b.so", {{"id", "0x1005abcd"}});
  tree.addPlugin("tp_basic", "n1.so", {{"id", "none"}});
  tree.addPlugin("tp_basic", "n2.so", {{"id", "none"}});
  tree.addPlugin("tp_basic", "q\"uote.so", {{"id", "0x50000"}});
  // These never write an id: they keep the preset zero, plug-in id 00, which
  // conflicts with another 00 but not with a plug-in without id.
  tree.addPlugin("tp_basic", "s1.so");
  tree.addPlugin("tp_basic", "s2.so");

  const std::string output = runThrough();
  EXPECT_EQ(textsStarting(output, "Loaded plugin"),
            (Strings{"Loaded plugin 05:a", "Loaded plugin 00:n1", "Loaded plugin 00:s1"}));
  const Strings refusals{"pluginId 05 already loaded from a.so trying to load \"b.so\"",
                         "pluginId 00 already loaded from n1.so trying to load \"n2.so\"",
                         "pluginId 05 already loaded from a.so trying to load \"q\\\"uote.so\"",
                         "pluginId 00 already loaded from s1.so trying to load \"s2.so\""};
  EXPECT_EQ(textsStarting(output, "pluginId"), refusals);
  for (const std::string& refusal : refusals) EXPECT_EQ(lineWith(output, refusal).colour, levelColour(50));
  EXPECT_EQ(lineWith(output, "Loaded plugin 05:a").colour, levelColour(25));
  EXPECT_TRUE(textsStarting(output, "Failed to load").empty()) << "a refused plug-in is not a failed one";

  // A refused library is unloaded at once: Load, then Unload, never Open or Close.
  for (const char* name : {"b.so", "n2.so", "q\"uote.so", "s2.so"}) {
    const long load = tree.journalPosition({std::string(name) + " Load "});
    const long unload = tree.journalPosition({std::string(name) + " Unload "});
    EXPECT_GE(load, 0) << name;
    EXPECT_GT(unload, load) << name;
    EXPECT_LT(unload, tree.journalPosition({"a.so Open "})) << name;
    EXPECT_EQ(tree.journalPosition({std::string(name) + " Open "}), -1) << name;
    EXPECT_EQ(tree.journalPosition({std::string(name) + " Close "}), -1) << name;
  }
  EXPECT_EQ(callOrder("Open"), (Strings{"a.so", "n1.so", "s1.so"}));
}

TEST_F(PluginDiscovery, BrokenLibrariesAreReportedWithTheirCodeTextAndStartUpGoesOn) {
  const fs::path junk = tree.writeFile("bin/plugins/junk.so", "not a library");
  tree.addPlugin("tp_no_unload", "nu.so", {{"id", "0x20000"}});
  tree.addPlugin("tp_no_load", "nl.so", {{"id", "0x30000"}});
  tree.addPlugin("tp_basic", "three.so", {{"id", "0x40000"}, {"loadResult", "3"}});
  tree.addPlugin("tp_basic", "minus.so", {{"id", "0x50000"}, {"loadResult", "-5"}});
  tree.addPlugin("tp_basic", "ok.so", {{"id", "0x60000"}});
  // The loader's own words for the file that is no library.
  ASSERT_EQ(dlopen(junk.c_str(), RTLD_NOW), nullptr);
  const std::string loaderText = dlerror();

  const std::string output = runThrough();
  const Strings failures{"Failed to load plugin junk.so: " + loaderText,
                         "Failed to load plugin minus.so: load code -5",
                         "Failed to load plugin nl.so: missing Load()/Unload()",
                         "Failed to load plugin nu.so: missing Load()/Unload()",
                         "Failed to load plugin three.so: load code 3"};
  EXPECT_EQ(textsStarting(output, "Failed to load plugin"), failures);
  for (const std::string& failure : failures) EXPECT_EQ(lineWith(output, failure).colour, levelColour(75));
  EXPECT_EQ(textsStarting(output, "Loaded plugin"), (Strings{"Loaded plugin 06:ok"}));
  EXPECT_EQ(textsStarting(output, "Opening"), (Strings{"Opening 06:ok"}));

  // Load ran for the refusing ones and Unload never did; the others never got called.
  EXPECT_EQ(callOrder("Load"), (Strings{"minus.so", "ok.so", "three.so"}));
  EXPECT_EQ(callOrder("Unload"), (Strings{"ok.so"}));
  EXPECT_TRUE(tree.journalLines({"nu.so"}).empty());
  EXPECT_TRUE(tree.journalLines({"nl.so"}).empty());
}

TEST_F(PluginDiscovery, MissingFoldersContributeNothingAndNothingIsLogged) {
  fs::remove_all(tree.protectedDir());
  fs::remove_all(tree.pluginsDir());
  std::string output = runThrough();
  EXPECT_TRUE(textsStarting(output, "Loaded").empty());
  EXPECT_TRUE(textsStarting(output, "Failed to load").empty());
  EXPECT_TRUE(textsStarting(output, "Opening").empty());

  // A file where a folder should be is no folder either.
  tree.writeFile("bin/plugins", "not a folder");
  fs::create_directories(tree.protectedDir());
  tree.addPlugin("tp_basic", "p.so", {{"id", "0x10000"}}, tree.protectedDir());
  output = runThrough();
  EXPECT_EQ(textsStarting(output, "Loaded plugin"), (Strings{"Loaded plugin 01:p"}));
  EXPECT_TRUE(textsStarting(output, "Failed to load").empty());
}

TEST_F(PluginDiscovery, ModuleNamesAreLowerCaseStemsAndMessagesUseTheNameUpToTheFirstDot) {
  tree.addPlugin("tp_basic", "My.Cam.so",
                 {{"id", "0x50000"}, {"onOpen", "post type=0x40 flags=0x1000002 param=50 source=0x50000 text=hello"}});
  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"My.Cam.so posted"}).empty(); }));
  core.stop();
  ASSERT_EQ(core.wait(), 0);
  const std::string output = core.output();
  EXPECT_EQ(textsStarting(output, "Loaded plugin"), (Strings{"Loaded plugin 05:My"}));
  EXPECT_EQ(textsStarting(output, "Opening"), (Strings{"Opening 05:My"}));
  const ConsoleLine hello = lineWith(output, "hello");
  EXPECT_EQ(hello.module, "my.cam");
  EXPECT_EQ(hello.colour, levelColour(50));
  EXPECT_EQ(lineWith(output, "Opening 05:My").module, "core");
}

TEST_F(PluginDiscovery, APluginWithoutIdNamesModuleSlotZero) {
  // A plug-in without id is keyed 0 in the module names, the core's own slot:
  // from its load on the core's lines carry its name.
  tree.addPlugin("tp_basic", "Anon.so", {{"id", "none"}});
  tree.addPlugin("tp_basic", "b.so", {{"id", "0x20000"}});
  const std::string output = runThrough();
  EXPECT_EQ(lineWith(output, "Loaded plugin 00:Anon").module, "core");
  EXPECT_EQ(lineWith(output, "Loaded plugin 02:b").module, "anon");
  EXPECT_EQ(lineWith(output, "Opening 02:b").module, "anon");
}
