// korvod-sim --plugin: a fresh plug-in build tried in one command, in a
// temporary install tree beside the log plug-in, with the real core.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

class TryOut : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.addLogPlugin();
    fs::create_directories(temporary);
    fs::create_directories(builds);
  }

  // korvod-sim --core <the tree's dvrcore> ARGUMENTS, with its temporary
  // directory inside the test's tree.
  CoreProcess& run(const std::vector<std::string>& arguments) {
    CoreProcess::Options options;
    options.withPipe = false;
    options.launcher = {KORVOD_SIM_EXECUTABLE};
    if (emulated()) options.launcher.insert(options.launcher.end(), {"--emulator", emulator()});
    options.launcher.push_back("--core");
    options.launcherStartsCore = true;
    options.arguments = arguments;
    options.environment = {"TMPDIR=" + temporary.string()};
    sim.emplace(tree, options);
    return *sim;
  }

  // A library as an author's build leaves it, outside any install tree.
  fs::path built(const fs::path& from, const std::string& fileName) {
    fs::copy_file(from, builds / fileName, fs::copy_options::overwrite_existing);
    return builds / fileName;
  }

  bool temporaryIsEmpty() const { return fs::is_empty(temporary); }
  std::string console() const { return stripColours(sim->output()); }

  InstallTree tree;
  fs::path temporary = tree.root() / "tmp";
  fs::path builds = tree.root() / "my-build";
  std::optional<CoreProcess> sim;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(TryOut, TheLibrariesRunBesideTheLogPluginInATreeThatIsRemovedAfterwards) {
  const fs::path mine = built(testPluginDir() / "c_plugin.so", "mine.so");
  const fs::path camera = built(buildDir() / "plugins" / "camera.so", "camera.so");
  run({"--plugin", mine.string(), "--plugin", camera.string(), "--duration", "0.5", "--workdir",
       tree.workDir().string()});
  EXPECT_EQ(sim->wait(), 0) << sim->errors();

  const std::string out = console();
  EXPECT_TRUE(contains(out, "core Loaded plugin 31:mine")) << out;
  EXPECT_TRUE(contains(out, "core Loaded plugin 21:camera")) << out;
  EXPECT_TRUE(contains(out, "core Unloading 21:camera")) << out;
  // The log plug-in beside the core came along: it kept the log file.
  std::ifstream log(tree.workDir() / "dvrcore.log");
  const std::string logText((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(contains(logText, "core Loaded plugin 31:mine")) << logText;

  std::smatch match;
  const std::string errors = sim->errors();
  ASSERT_TRUE(std::regex_search(errors, match, std::regex("try-out tree (\\S+) with plugins/LogPI.so, plugins/mine.so, "
                                                          "plugins/camera.so")))
      << errors;
  EXPECT_EQ(fs::path(match[1].str()).parent_path(), temporary);
  EXPECT_TRUE(contains(errors, "started " + match[1].str() + "/dvrcore")) << errors;
  EXPECT_FALSE(fs::exists(match[1].str())) << "the tree is removed once the core has exited";
  EXPECT_TRUE(temporaryIsEmpty());
  // The author's build is where it was.
  EXPECT_TRUE(fs::exists(mine));
}

TEST_F(TryOut, ALibraryThatCannotBeTriedStopsKorvodSimBeforeTheCoreStarts) {
  const fs::path good = built(testPluginDir() / "c_plugin.so", "good.so");
  fs::create_directories(builds / "folder.so");
  const fs::path versioned = built(testPluginDir() / "c_plugin.so", "libmine.so.1");
  fs::create_directories(builds / "other");
  fs::copy_file(good, builds / "other" / "good.so");
  const struct {
    std::vector<std::string> libraries;
    const char* message;
  } cases[] = {
      {{(builds / "missing.so").string()}, "--plugin: no file at "},
      {{good.string(), (builds / "folder.so").string()}, "is not a file"},
      {{versioned.string()}, "the core loads only files named *.so, not libmine.so.1"},
      {{good.string(), (builds / "other" / "good.so").string()}, "two libraries named good.so"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> arguments{"--duration", "5"};
    for (const std::string& library : c.libraries) {
      arguments.push_back("--plugin");
      arguments.push_back(library);
    }
    run(arguments);
    EXPECT_EQ(sim->wait(), 64);
    EXPECT_TRUE(contains(sim->errors(), c.message)) << sim->errors();
    EXPECT_FALSE(contains(sim->errors(), "started")) << sim->errors();
    EXPECT_EQ(sim->output(), "") << "no console line: the core never ran";
    EXPECT_TRUE(temporaryIsEmpty());
  }
}

TEST_F(TryOut, ALibraryNamedLogPITakesTheLogPluginsPlace) {
  const fs::path ownLog = built(testPluginDir() / "c_plugin.so", "LogPI.so");
  run({"--plugin", ownLog.string(), "--duration", "0.3", "--workdir", tree.workDir().string()});
  EXPECT_EQ(sim->wait(), 0) << sim->errors();
  EXPECT_TRUE(contains(sim->errors(), "with plugins/LogPI.so (removed")) << sim->errors();
  // c_plugin journals under its own name: it was loaded and opened at start-up
  // as the log plug-in, and the real one was not there to write a log file.
  EXPECT_FALSE(tree.journalLines({"c_plugin.so Open"}).empty());
  EXPECT_FALSE(fs::exists(tree.workDir() / "dvrcore.log"));
  EXPECT_FALSE(contains(console(), "Loaded plugin")) << "start-up brings the log plug-in, not the scan";
}

TEST_F(TryOut, HelpTellsHowToTryALibrary) {
  run({"--help"});
  EXPECT_EQ(sim->wait(), 0);
  for (const char* part : {"--plugin LIBRARY", "temporary", "LogPI.so", "--plugin build/myplugin.so"}) {
    EXPECT_TRUE(contains(sim->output(), part)) << part;
  }
}
