// The process entry: command line, help, exit codes, identity and
// capabilities, as the recorder daemon sees them.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;

namespace {

constexpr const char* kHelpTail = " <pipe>\n";

CoreProcess::Options argumentsOnly(std::vector<std::string> arguments) {
  CoreProcess::Options options;
  options.withPipe = false;
  options.arguments = std::move(arguments);
  return options;
}

std::string expectedHelp(const InstallTree& tree) {
  return "core version 26.0.2.0\nUsage: " + tree.executable().string() + kHelpTail;
}

}  // namespace

TEST(CommandLine, HelpSwitchPrintsTwoLinesAndExitsZero) {
  InstallTree tree;
  for (auto arguments : {std::vector<std::string>{"-h"}, {"-help", "7"}, {"-v", "-hx"}}) {
    CoreProcess core(tree, argumentsOnly(arguments));
    EXPECT_EQ(core.wait(), 0);
    EXPECT_EQ(core.errors(), expectedHelp(tree));
    EXPECT_EQ(core.output(), "");
  }
}

TEST(CommandLine, HelpAfterThePipeNumberIsNeverSeen) {
  InstallTree tree;
  // 7 is no open descriptor in the child: the pipe is tried, not the help.
  CoreProcess core(tree, argumentsOnly({"7", "-h"}));
  EXPECT_EQ(core.wait(), 2);
  EXPECT_EQ(core.errors(), "failed to initialize core\n");
  EXPECT_NE(stripColours(core.output()).find(" core failed to open ipc pipe\n"), std::string::npos);
}

TEST(CommandLine, NumberThatIsNoOpenDescriptorEndsWithCodeTwo) {
  InstallTree tree;
  CoreProcess core(tree, argumentsOnly({"99"}));
  EXPECT_EQ(core.wait(), 2);
  EXPECT_EQ(core.errors(), "failed to initialize core\n");
  const auto lines = linesWith(stripColours(core.output()), "failed to open ipc pipe");
  ASSERT_EQ(lines.size(), 1u);
}

TEST(CommandLine, WithoutPipeTheCoreStartsStopsAndExitsZero) {
  InstallTree tree;
  for (auto arguments : {std::vector<std::string>{}, {"-v"}}) {
    CoreProcess core(tree, argumentsOnly(arguments));
    EXPECT_EQ(core.wait(), 0);
    EXPECT_EQ(core.errors(), "");
    EXPECT_EQ(linesWith(stripColours(core.output()), " core korvod ipc pipe disconnected").size(), 1u);
  }
}

TEST(CommandLine, TextWithoutDigitsSelectsDescriptorZero) {
  InstallTree tree;
  // Descriptor 0 is /dev/null here: adopted, then the first receive fails.
  CoreProcess core(tree, argumentsOnly({"abc"}));
  EXPECT_EQ(core.wait(), 0);
  EXPECT_NE(core.output().find("korvod ipc pipe disconnected"), std::string::npos);
}
