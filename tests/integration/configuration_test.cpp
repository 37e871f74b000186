// core.xml and product.xml on the real executable: what a start reads, what
// it writes back, run-time threshold changes by delta documents, and what is
// left on disk when the write fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLogPost = "post type=64 flags=0x1000002 param=";

// The timing attributes vary from run to run; everything else is exact.
std::string withoutTimes(const std::string& xml) {
  static const std::regex times(R"#((LoadTimeMs|OpenTimeMs|TotalLoadTimeMs|TotalOpenTimeMs)="\d+")#");
  return std::regex_replace(xml, times, "$1=\"T\"");
}

// A delta document from plug-in `source` setting one module's threshold.
std::string deltaCommand(const std::string& source, const std::string& id, int level) {
  return "post type=0x100 flags=0x1000010 source=" + source + " text=<?xml?><kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"" +
         id + "\" LogLevel=\"" + std::to_string(level) + "\"/></Module></Modules></kDVR>";
}

class Configuration : public ::testing::Test {
 protected:
  InstallTree tree;

  fs::path coreXml() const { return tree.workDir() / "core.xml"; }
  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void write(const fs::path& path, const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
  // Starts the core, waits for the dispatch loop's first delivery to the
  // receiver, stops it; returns the console without colours.
  std::string runOnce(CoreProcess::Options options = {}) {
    CoreProcess core(tree, std::move(options));
    EXPECT_TRUE(eventually([&] { return !tree.journalLines({"rx.so OnEvent type=0x100 "}).empty(); }))
        << stripColours(core.output());
    core.stop();
    EXPECT_EQ(core.wait(), 0);
    return stripColours(core.output());
  }
  // Status events the receiver got from the core.
  std::vector<std::string> statusEvents() const {
    return tree.journalLines({"rx.so OnEvent type=0x100 ", "source=0x80000000 "});
  }
};

TEST_F(Configuration, WithoutFilesTheDefaultsHoldAndTheStatusIsWrittenBack) {
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}, {"fullPayload", "1"}});
  const std::string console = runOnce();
  EXPECT_NE(console.find("core Failed to open core.xml - No such file or directory\nConfig defaulted"),
            std::string::npos)
      << console;
  ASSERT_EQ(statusEvents().size(), 1u);
  const std::string event = statusEvents()[0];
  EXPECT_NE(event.find("<Memory ID=\"-2147483648\" Throttling=\"1\"/>"), std::string::npos) << event;
  EXPECT_NE(event.find("<Product Family=\"Korvomatic\" Version=\"26.0.2.0\"/></kDVR>'"), std::string::npos) << event;
  const std::string file = read(coreXml());
  EXPECT_EQ(file.find("Product"), std::string::npos);
  EXPECT_EQ(file.rfind("<?xml?>\n<kDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n", 0), 0u) << file;

  // What one run wrote, the next reads back and writes again unchanged.
  fs::remove(tree.journalPath());
  EXPECT_EQ(runOnce().find("Config defaulted"), std::string::npos);
  EXPECT_EQ(withoutTimes(read(coreXml())), withoutTimes(file));
}

TEST_F(Configuration, TheWrittenDocumentListsLoadedFailedAndIdlessPluginsAndTheDaemon) {
  tree.addLogPlugin();
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}, {"fullPayload", "1"}});
  tree.addPlugin("tp_basic", "anon.so", {{"id", "none"}});
  tree.addPlugin("tp_basic", "f.so", {{"id", "0x40000"}, {"loadResult", "7"}});
  tree.addPlugin("tp_no_load", "x.y.so");
  // Id 6 comes first whatever its name; without OnEvent it gets config events through IOCTL.
  tree.addPlugin("tp_ioctl", "zz.so", {{"id", "0x60000"}});
  write(tree.workDir() / "product.xml", R"(<?xml version="1.0"?><Catalog><Product Family="Cam &quot;X&quot;"/></Catalog>)");
  write(coreXml(), "<?xml?><kDVR><Memory Throttling=\"FALSE\"/><Modules><Module><Plugin ID=\"131072\" LogLevel=\"60\"/>"
                   "<Plugin ID=\"-2147483648\" LogLevel=\"-7\"/></Module></Modules></kDVR>");

  CoreProcess core(tree);
  core.sendDaemonInfo(std::string("/usr/bin/korvod\0" "7.1\0", 20));
  // Packets reach plug-ins in order: by the time this one does, the daemon's
  // version is known. The delta republishes the status with it.
  core.sendPacket(2, 100, deltaCommand("0x20000", "131072", 61));
  ASSERT_TRUE(eventually([&] { return statusEvents().size() == 2; })) << stripColours(core.output());
  core.stop();
  EXPECT_EQ(core.wait(), 0);

  EXPECT_EQ(withoutTimes(read(coreXml())),
            "<?xml?>\n"
            "<kDVR>\n"
            "\t<Memory ID=\"-2147483648\" Throttling=\"0\"/>\n"
            "\t<Modules TotalLoadTimeMs=\"T\" TotalOpenTimeMs=\"T\">\n"
            "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"\">\n"
            "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"393216\" Filename=\"zz.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"anon.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"131072\" Filename=\"rx.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"0\" LogLevel=\"61\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"524288\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Library Name=\"korvod\" Filename=\"/usr/bin/korvod\" Version=\"7.1\"/>\n"
            "\t\t\t<Plugin ID=\"1\" Filename=\"f.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"7\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"2\" Filename=\"x.y.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
            "OpenCode=\"-101\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t</Module>\n"
            "\t\t<Module ID=\"1\" Name=\"f\" Version=\"load code 7\"/>\n"
            "\t\t<Module ID=\"2\" Name=\"x\" Version=\"missing Load()/Unload()\"/>\n"
            "\t</Modules>\n"
            "</kDVR>\n");
  // The same status events, through IOCTL (lengths are all they show there).
  const auto lengthOf = [](const std::string& line) {
    const auto at = line.find(" length=") + 8;
    return line.substr(at, line.find(' ', at) - at);
  };
  std::multiset<std::string> viaEvents, viaIoctl;
  for (const std::string& line : statusEvents()) viaEvents.insert(lengthOf(line));
  for (const std::string& line : tree.journalLines({"zz.so IOCTL code=2 "})) {
    if (viaEvents.contains(lengthOf(line))) viaIoctl.insert(lengthOf(line));
  }
  EXPECT_EQ(viaIoctl, viaEvents);
  // The event carries the product as read; a family with a quote is in apostrophes.
  EXPECT_NE(statusEvents()[1].find("<Product Family='Cam \"X\"' Version=\"\"/></kDVR>'"), std::string::npos)
      << statusEvents()[1];
}

TEST_F(Configuration, ThresholdsOfCoreXmlGovernTheConsoleAndDeltasChangeThemAtRunTime) {
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}});
  tree.addPlugin("tp_basic", "loud.so", {{"id", "0x30000"}});
  write(coreXml(), "<?xml?><kDVR><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"200\"/></Module>"
                   "<Module><Plugin ID=\"131072abc\" LogLevel=\"50\"/><Plugin ID=\"65536\" LogLevel=\"0\"/>"
                   "<Plugin ID=\"2147483648\" LogLevel=\"0\"/></Module></Modules><Plugin ID=\"196608\" LogLevel=\"90\"/></kDVR>");
  CoreProcess core(tree);
  core.sendPacket(2, 100, std::string(kLogPost) + "49 source=0x20000 text=rx-49;" + kLogPost + "50 source=0x20000 text=rx-50");
  core.sendPacket(3, 100, std::string(kLogPost) + "25 source=0x30000 text=loud-25");
  ASSERT_TRUE(core.waitForOutput("loud-25"));
  ASSERT_TRUE(core.waitForOutput("rx-50"));
  // A delta that changes nothing publishes nothing; one that does, once.
  core.sendPacket(3, 100, deltaCommand("0x30000", "131072", 50) + ";" + deltaCommand("0x30000", "196608", 60));
  ASSERT_TRUE(eventually([&] { return statusEvents().size() == 2; }));
  core.sendPacket(3, 100, std::string(kLogPost) + "59 source=0x30000 text=loud-59;" + kLogPost + "60 source=0x30000 text=loud-60");
  ASSERT_TRUE(core.waitForOutput("loud-60"));
  core.stop();
  EXPECT_EQ(core.wait(), 0);

  const std::string console = stripColours(core.output());
  EXPECT_EQ(console.find("Loaded plugin"), std::string::npos) << "the core's threshold is 100";
  EXPECT_EQ(console.find("rx-49"), std::string::npos);
  EXPECT_EQ(console.find("loud-59"), std::string::npos);
  EXPECT_EQ(statusEvents().size(), 2u);
  const std::string file = read(coreXml());
  EXPECT_NE(file.find("ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                      "OpenCode=\"0\" LogLevel=\"100\""),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("Filename=\"rx.so\""), std::string::npos);
  EXPECT_NE(withoutTimes(file).find("Filename=\"loud.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" OpenCode=\"0\" "
                                    "LogLevel=\"60\""),
            std::string::npos)
      << file;
}

TEST_F(Configuration, AnInterruptedWriteIsRecoveredOrDiscardedAtTheNextStart) {
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}});
  const std::string setting = "<?xml?><kDVR><Memory Throttling=\"0\"/></kDVR>";
  write(coreXml(), "<?xml?><kDVR/>");
  write(tree.workDir() / "core.xml.pending", setting);
  runOnce();
  EXPECT_NE(read(coreXml()).find("Throttling=\"0\""), std::string::npos) << "the valid pending file was taken";
  EXPECT_FALSE(fs::exists(tree.workDir() / "core.xml.pending"));

  write(tree.workDir() / "core.xml.pending", "<?xml?>\n<kDVR>\n\t<Memory ID=\"-21474");
  runOnce();
  EXPECT_NE(read(coreXml()).find("Throttling=\"0\""), std::string::npos) << "the torn pending file was ignored";
  EXPECT_FALSE(fs::exists(tree.workDir() / "core.xml.pending"));
}

TEST_F(Configuration, AFailedWriteIsReportedAndLeavesTheOldFileIntact) {
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}});
  const std::string old = "<?xml?><kDVR><Memory Throttling=\"0\"/></kDVR>";
  write(coreXml(), old);
  // Runs until the core reports `failure`, then stops it.
  auto runUntilReported = [&](CoreProcess::Options options, const std::string& failure) {
    CoreProcess core(tree, std::move(options));
    EXPECT_TRUE(core.waitForOutput(failure)) << stripColours(core.output()) << core.errors();
    core.stop();
    EXPECT_EQ(core.wait(), 0);
  };

  // A file-size limit cuts the pending file short.
  CoreProcess::Options limited;
  limited.launcher = {"/usr/bin/prlimit", "--fsize=64", "--"};
  runUntilReported(limited, "Failed to write core.xml.pending - File too large");
  EXPECT_EQ(read(coreXml()), old);
  EXPECT_EQ(fs::file_size(tree.workDir() / "core.xml.pending"), 64u);

  // A working directory the core may not write to. The torn pending file of
  // the last run is discarded only where the core can remove it.
  fs::remove(tree.workDir() / "core.xml.pending");
  CoreProcess::Options readOnly;
  if (geteuid() == 0) {
    tree.shareWith(65534, 65534);
    ASSERT_EQ(chown(tree.workDir().c_str(), 0, 0), 0);
    readOnly.launcher = {runAsParent().string(), "65534", "65534"};
  } else {
    fs::permissions(tree.workDir(), fs::perms::owner_read | fs::perms::owner_exec);
  }
  runUntilReported(readOnly, "Failed to open core.xml.pending - Permission denied");
  fs::permissions(tree.workDir(), fs::perms::owner_all);
  EXPECT_EQ(read(coreXml()), old);
  EXPECT_FALSE(fs::exists(tree.workDir() / "core.xml.pending"));
}

}  // namespace
