// The core takes on the user of the process that started it and keeps only
// the capabilities it needs, as seen from inside a plug-in: the real
// executable started as root under a parent that switched to another user.
// These tests need root; elsewhere they are skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kNobody = "65534";

// "Key=value" fields of the status journal line recorded `when`.
std::map<std::string, std::string> statusAt(const InstallTree& tree, const std::string& plugin, const std::string& when) {
  std::map<std::string, std::string> fields;
  const auto lines = tree.journalLines({plugin + " status when=" + when + " "});
  if (lines.empty()) {
    ADD_FAILURE() << "no status recorded by " << plugin << " at " << when;
    return fields;
  }
  std::istringstream words(lines.front());
  std::string word;
  while (words >> word) {
    const auto equals = word.find('=');
    if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return fields;
}

// This test process's own effective set, as the status file shows it.
std::string ownCapEff() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) return line.substr(line.find_first_not_of(" \t", 7));
  }
  return "";
}

std::vector<std::string> textsStarting(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  for (const ConsoleLine& line : consoleLines(output)) {
    if (line.text.rfind(prefix, 0) == 0) found.push_back(line.text);
  }
  return found;
}

class Identity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "identity changes need root";
  }

  // The witness: records its thread's status at Load, Open, in its worker and
  // at each event; it posts one itself, which reaches it on the dispatch
  // thread after the open step.
  void addWitness(const fs::path& folder = {}) {
    tree.addPlugin("tp_full", "who.so",
                   {{"id", "0x10000"}, {"recordStatus", "1"}, {"worker", "1"}, {"alarm", "0x2000000"},
                    {"onOpen", "post type=4 source=0x10000 text=witness"}},
                   folder);
  }

  // Lays the tree out for the unprivileged user: every folder on the path
  // must let others through.
  void shareWithNobody() {
    tree.shareWith(65534, 65534);
    for (fs::path folder = tree.root(); folder != folder.root_path(); folder = folder.parent_path()) {
      struct stat info {};
      ASSERT_EQ(stat(folder.c_str(), &info), 0) << folder;
      ASSERT_TRUE(info.st_mode & S_IXOTH) << folder << " is not traversable by other users";
    }
  }

  CoreProcess::Options launchedBy(std::vector<std::string> launcher) {
    CoreProcess::Options options;
    options.launcher = std::move(launcher);
    options.launcher.insert(options.launcher.begin(), runAsParent().string());
    return options;
  }

  // Runs until the witness saw its event, then stops; returns the console.
  std::string runWitness(const CoreProcess::Options& options) {
    CoreProcess core(tree, options);
    EXPECT_TRUE(eventually([&] { return !tree.journalLines({"who.so status when=event"}).empty(); }))
        << stripColours(core.output()) << core.errors();
    core.stop();
    EXPECT_EQ(core.wait(), 0) << core.errors();
    return core.output();
  }

  InstallTree tree;
};

}  // namespace

TEST_F(Identity, UnderAnotherUserTheCoreTakesItsIdentityAndNarrowsItsCapabilitiesAfterTheOpenStep) {
  addWitness();
  shareWithNobody();
  const std::string output = runWitness(launchedBy({kNobody, kNobody}));
  EXPECT_TRUE(textsStarting(output, "capset failed").empty()) << stripColours(output);

  // From start-up on: the parent's user and groups, and three capabilities.
  for (const char* when : {"load", "open", "worker"}) {
    auto status = statusAt(tree, "who.so", when);
    EXPECT_EQ(status["Uid"], "65534,65534,65534,65534") << when;
    EXPECT_EQ(status["Gid"], "65534,65534,65534,65534") << when;
    EXPECT_EQ(status["Groups"], "65534") << when;
    EXPECT_EQ(status["CapEff"], "0000000000023000") << when;
    EXPECT_EQ(status["CapPrm"], "0000000000023000") << when;
    EXPECT_EQ(status["CapInh"], "0000000000000000") << when;
  }
  // After the open step the main thread keeps only CAP_NET_ADMIN and CAP_NET_RAW.
  EXPECT_FALSE(tree.journalLines({"who.so OnEvent type=0x4 ", "thread=main"}).empty());
  auto afterOpen = statusAt(tree, "who.so", "event");
  EXPECT_EQ(afterOpen["Uid"], "65534,65534,65534,65534");
  EXPECT_EQ(afterOpen["CapEff"], "0000000000003000");
  EXPECT_EQ(afterOpen["CapPrm"], "0000000000003000");
  EXPECT_EQ(afterOpen["CapInh"], "0000000000000000");

  // Files the core's plug-ins create are private to that user (mask 077).
  struct stat journal {};
  ASSERT_EQ(stat(tree.journalPath().c_str(), &journal), 0);
  EXPECT_EQ(journal.st_uid, 65534u);
  EXPECT_EQ(journal.st_mode & 0777, 0600u);
}

TEST_F(Identity, UnderAParentOfItsOwnUserTheCoreChangesNothing) {
  const std::string rootCaps = ownCapEff();
  addWitness();
  runWitness({});
  for (const char* when : {"load", "event"}) {
    auto status = statusAt(tree, "who.so", when);
    EXPECT_EQ(status["Uid"], "0,0,0,0") << when;
    EXPECT_EQ(status["CapEff"], rootCaps) << when << ": no capability call as root";
  }
}

TEST_F(Identity, AnUnreadablePluginFolderContributesNothing) {
  addWitness(tree.protectedDir());
  tree.addPlugin("tp_basic", "guarded.so", {{"id", "0x20000"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "hidden.so", {{"id", "0x30000"}});
  shareWithNobody();
  fs::permissions(tree.pluginsDir(), fs::perms::owner_all);  // root's alone now
  const std::string output = runWitness(launchedBy({kNobody, kNobody}));
  EXPECT_EQ(textsStarting(output, "Loaded plugin"),
            (std::vector<std::string>{"Loaded plugin 02:guarded", "Loaded plugin 01:who"}));
  EXPECT_TRUE(textsStarting(output, "Failed to load").empty());
  EXPECT_TRUE(tree.journalLines({"hidden.so"}).empty());
}

TEST_F(Identity, AnUnprivilegedCoreUnderItsOwnUserReportsTheFailedCapabilityCallsAndRuns) {
  addWitness();
  shareWithNobody();
  const std::string output = runWitness(launchedBy({"--child", kNobody, kNobody, kNobody, kNobody}));
  // Once at start-up and once after the open step, and start-up goes on.
  const auto failures = textsStarting(output, "capset failed: ");
  ASSERT_EQ(failures, (std::vector<std::string>(2, "capset failed: Operation not permitted")))
      << stripColours(output);
  for (const ConsoleLine& line : consoleLines(output)) {
    if (line.text.rfind("capset failed", 0) == 0) {
      EXPECT_EQ(line.colour, levelColour(50));
    }
  }
  EXPECT_EQ(statusAt(tree, "who.so", "event")["CapEff"], "0000000000000000");
}

TEST_F(Identity, ACoreThatCannotTakeOnItsParentsUserEndsWithCodeTwo) {
  addWitness();
  shareWithNobody();
  struct Case {
    std::vector<std::string> launcher;
    std::string message;
  };
  // A root parent for an unprivileged core; a parent user the system does not know.
  for (const Case& c : {Case{{"--child", kNobody, kNobody, "0", "0"}, "setuid/gid failed: Operation not permitted"},
                        Case{{"4242", "4242"}, "getpwuid failed: "}}) {
    CoreProcess core(tree, launchedBy(c.launcher));
    EXPECT_EQ(core.wait(), 2) << c.message;
    EXPECT_EQ(core.errors(), "failed to initialize core\n");
    const auto lines = consoleLines(core.output());
    ASSERT_FALSE(lines.empty()) << c.message;
    EXPECT_EQ(lines.back().text.rfind(c.message, 0), 0u) << lines.back().text;
    EXPECT_EQ(lines.back().colour, levelColour(100));
    EXPECT_TRUE(tree.journalLines({"who.so"}).empty()) << "no plug-in was loaded";
  }
}
