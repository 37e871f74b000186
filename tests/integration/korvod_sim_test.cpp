// korvod-sim run for real: with the real core, the example camera and the log
// plug-in in a throw-away install tree; with a stand-in core that echoes every
// record back, so that the bytes korvod-sim sends and the packets it puts
// together can be compared exactly; and with cores that end on their own.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

std::string word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

std::string packet(uint32_t routeWord, uint32_t kind, const std::string& payload) {
  return word(static_cast<uint32_t>(16 + payload.size())) + word(routeWord) + word(kind) + word(0) + payload;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Position of `text` in `haystack`, npos when missing.
size_t at(const std::string& haystack, const std::string& text) { return haystack.find(text); }

// korvod-sim --core <the tree's dvrcore> ARGUMENTS, run from the tree's
// working directory with its output captured. A core built here (not a
// script) runs behind korvod-sim's --emulator under emulation.
class KorvodSim : public ::testing::Test {
 protected:
  CoreProcess& run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
    CoreProcess::Options options;
    options.withPipe = false;
    options.launcher = {KORVOD_SIM_EXECUTABLE};
    if (coreIsBuilt && emulated()) options.launcher.insert(options.launcher.end(), {"--emulator", emulator()});
    options.launcher.push_back("--core");
    options.launcherStartsCore = true;
    options.arguments = arguments;
    options.environment = environment;
    sim.emplace(tree, options);
    return *sim;
  }

  bool waitForErrors(const std::string& text) {
    return eventually([&] { return at(sim->errors(), text) != std::string::npos; });
  }

  std::string console() const { return stripColours(sim->output()); }
  std::string logFile() const { return readBytes(tree.workDir() / "dvrcore.log"); }

  // Makes the tree's "dvrcore" a shell script.
  void coreIsScript(const std::string& body) {
    tree.writeFile("bin/dvrcore", "#!/bin/sh\n" + body + "\n");
    fs::permissions(tree.executable(), fs::perms(0755));
  }

  InstallTree tree;
  bool coreIsBuilt = false;  // the tree's dvrcore is a program of this build
  std::optional<CoreProcess> sim;
};

// The real core with the log plug-in and the example camera.
class WithCamera : public KorvodSim {
 protected:
  void SetUp() override {
    coreIsBuilt = true;
    tree.addLogPlugin();
    fs::copy_file(CAMERA_PLUGIN, tree.pluginsDir() / "camera.so");
  }
};

// The stand-in core that writes back whatever it receives.
class WithEchoCore : public KorvodSim {
 protected:
  void SetUp() override {
    coreIsBuilt = true;
    fs::copy_file(ECHO_CORE_EXECUTABLE, tree.executable(), fs::copy_options::overwrite_existing);
    dumpDir = tree.root() / "dump";
  }

  std::string dumped(int number) const {
    char name[32];
    std::snprintf(name, sizeof name, "packet-%06d.bin", number);
    return readBytes(dumpDir / name);
  }
  bool dumpedCount(size_t count) const {
    return eventually([&] {
      std::error_code ignored;
      return fs::exists(dumpDir, ignored) &&
             static_cast<size_t>(std::distance(fs::directory_iterator(dumpDir), fs::directory_iterator())) >= count;
    });
  }

  fs::path dumpDir;
};

}  // namespace

// ---- with the real core ----------------------------------------------------

TEST_F(WithCamera, DurationStopsTheCoreCleanlyAfterTheCameraCameAndWent) {
  run({"--duration", "1"});
  EXPECT_EQ(sim->wait(), 0);

  const std::string out = console();
  EXPECT_NE(at(out, "core Loaded plugin 21:camera"), std::string::npos) << out;
  const size_t opening = at(out, "core Opening 21:camera");
  const size_t closing = at(out, "core Closing 21:camera");
  const size_t unloading = at(out, "core Unloading 21:camera");
  ASSERT_NE(unloading, std::string::npos) << out;
  EXPECT_LT(opening, closing);
  EXPECT_LT(closing, unloading);
  EXPECT_NE(at(sim->errors(), "1 s are up: stop packet sent"), std::string::npos) << sim->errors();
  EXPECT_NE(at(sim->errors(), "the core exited with code 0"), std::string::npos) << sim->errors();
}

TEST_F(WithCamera, CtrlCOrSigtermStopsTheCoreCleanly) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    run({});
    ASSERT_TRUE(sim->waitForOutput("Opening 21:camera")) << sim->output() << sim->errors();
    sim->signal(signal);
    EXPECT_EQ(sim->wait(), 0);
    EXPECT_NE(at(console(), "core Unloading 21:camera"), std::string::npos) << console();
    EXPECT_NE(at(sim->errors(), "stop packet sent"), std::string::npos) << sim->errors();
  }
}

TEST_F(WithCamera, BackgroundSilencesTheConsoleButTheLogPluginStillGetsEverything) {
  // The stop travels behind the daemon information, so the core is in the
  // background before it starts closing the plug-ins.
  run({"--background", "--duration", "0.5"});
  EXPECT_EQ(sim->wait(), 0);
  EXPECT_EQ(at(console(), "Closing 21:camera"), std::string::npos) << console();
  EXPECT_EQ(at(console(), "Unloading 21:camera"), std::string::npos) << console();
  EXPECT_NE(at(logFile(), "core Closing 21:camera"), std::string::npos) << logFile();
  EXPECT_NE(at(logFile(), "core Unloading 21:camera"), std::string::npos) << logFile();
}

TEST_F(WithCamera, InjectedPacketsReachThePluginWhoseIdTheyCarry) {
  const fs::path file = tree.writeFile("payload.bin", std::string(100, '\x5a'));
  const fs::path bad = tree.writeFile("bad.bin", word(65537) + word(0x21u << 20) + word(9) + word(0));
  run({"--send", "0x21:9:hello", "--send", "33:10:a:b:c", "--send", "0x22:9:for nobody", "--send-file",
       "0x21:0x0b:" + file.string(), "--send-raw", bad.string()});
  ASSERT_TRUE(sim->waitForOutput("bad ipc packet length")) << sim->output();
  ASSERT_TRUE(sim->waitForOutput("kind 11")) << sim->output();
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(), 0);

  // The camera logs each daemon packet it gets, in arrival order.
  const std::string out = console();
  const size_t first = at(out, "camera daemon packet: kind 9, 21 bytes");
  const size_t second = at(out, "camera daemon packet: kind 10, 21 bytes");  // id 33 is 0x21
  const size_t third = at(out, "camera daemon packet: kind 11, 116 bytes");
  ASSERT_NE(third, std::string::npos) << out;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_EQ(linesWith(out, "daemon packet").size(), 3u) << out;  // nothing for id 0x22
}

TEST_F(WithCamera, CameraLogsWhatItSentOnItsIntervalAndNothingAfterClose) {
  run({}, {"CAMERA_LOG_SECONDS=1"});
  ASSERT_TRUE(eventually([&] { return at(logFile(), " 25 21 sent in 1s: ") != std::string::npos; })) << logFile();
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(), 0);

  const std::string log = logFile();
  const std::regex report(R"(25 21 sent in 1s: (\d+) video frames \((\d+) key, (\d+) bytes\), (\d+) audio frames \((\d+) bytes\); refused: (.*))");
  std::smatch first;
  ASSERT_TRUE(std::regex_search(log, first, report)) << log;
  const unsigned frames = std::stoul(first[1]);
  const unsigned keyFrames = std::stoul(first[2]);
  const unsigned long long videoBytes = std::stoull(first[3]);
  EXPECT_GT(frames, 0u);
  EXPECT_GT(std::stoul(first[4]), 0u);
  EXPECT_EQ(std::stoull(first[5]), 160ull * std::stoul(first[4]));  // G.711: 160 bytes per 20 ms
  // Key frames of 20-40 KiB, the others 2-8 KiB.
  EXPECT_GE(videoBytes, keyFrames * 20480ull + (frames - keyFrames) * 2048ull);
  EXPECT_LT(videoBytes, keyFrames * 40960ull + (frames - keyFrames) * 8192ull);
  // The first interval starts with a key frame and has one every 25 frames.
  if (first[6] == "none") {
    EXPECT_EQ(keyFrames, (frames + 24) / 25) << first[0];
  }
  EXPECT_NE(at(console(), "camera sent in 1s: "), std::string::npos) << console();

  // Nothing from the camera once Close has returned (the core then unloads it).
  const size_t unloading = at(log, "core Unloading 21:camera");
  ASSERT_NE(unloading, std::string::npos) << log;
  EXPECT_EQ(log.find(" 25 21 ", unloading), std::string::npos) << log.substr(unloading);
}

// ---- with the stand-in core that echoes -------------------------------------

TEST_F(WithEchoCore, SendsTheDaemonInformationThenTheInjectionsInCommandLineOrder) {
  const std::string bigPayload = [] {
    std::string bytes(99984, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    return bytes;
  }();
  const fs::path big = tree.writeFile("big.bin", bigPayload);
  // Two packets in one record: they come back as two packets.
  const std::string twoInOne = packet(0x05u << 20, 40, "first") + packet(0x06u << 20, 41, "second");
  const fs::path raw = tree.writeFile("raw.bin", twoInOne);
  run({"--name", "recorder", "--version", "1.2.3", "--background", "--send", "0x21:9:hello", "--send-file",
       "0x7:0x100:" + big.string(), "--send-raw", raw.string(), "--dump-dir", dumpDir.string()});
  ASSERT_TRUE(dumpedCount(5)) << sim->output() << sim->errors();
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(), 0);

  EXPECT_EQ(dumped(1), packet(0, 7, std::string("recorder\0" "1.2.3\0" "Background:true\0", 31)));
  EXPECT_EQ(dumped(2), packet(0x21u << 20, 9, "hello"));
  // 100,000 bytes went out and came back as records of 65,536 and 34,464.
  EXPECT_EQ(dumped(3), packet(0x7u << 20, 0x100, bigPayload));
  EXPECT_EQ(dumped(4), packet(0x05u << 20, 40, "first"));
  EXPECT_EQ(dumped(5), packet(0x06u << 20, 41, "second"));

  const std::string out = sim->output();
  EXPECT_NE(at(out, "packet 2: length 21, route 0x02100000 (id 21), kind 9, payload \"hello\""), std::string::npos)
      << out;
  EXPECT_NE(at(out, "packet 3: length 100000, route 0x00700000 (id 07), kind 256, payload 00 07 0e 15"),
            std::string::npos)
      << out;
  EXPECT_EQ(linesWith(out, "korvod-sim: packet ").size(), 5u) << out;
}

TEST_F(WithEchoCore, DefaultDaemonInformationAndQuietOutput) {
  run({"--quiet", "--dump-dir", dumpDir.string()});
  ASSERT_TRUE(dumpedCount(1));
  sim->signal(SIGINT);
  EXPECT_EQ(sim->wait(), 0);
  EXPECT_EQ(dumped(1), packet(0, 7, std::string("korvod\0" "26.0.2.0\0", 16)));
  EXPECT_EQ(sim->output(), "");
  EXPECT_EQ(sim->errors(), "");
}

TEST_F(WithEchoCore, MalformedRecordsAreReportedAndTheNextPacketStillShows) {
  const fs::path tooShort = tree.writeFile("short.bin", word(8) + word(0) + word(9) + word(0));
  const fs::path cutOff = tree.writeFile("cut.bin", word(100) + word(0) + word(9) + word(0) + "only part");
  run({"--send-raw", tooShort.string(), "--send-raw", cutOff.string(), "--send", "1:9:after"});
  ASSERT_TRUE(sim->waitForOutput("payload \"after\"")) << sim->output() << sim->errors();
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(), 0);
  const std::string errors = sim->errors();
  EXPECT_NE(at(errors, "malformed data from the core: length word 8 is shorter than the header"), std::string::npos)
      << errors;
  EXPECT_NE(at(errors, "malformed data from the core: a record ended the packet after 25 of 100 bytes"),
            std::string::npos)
      << errors;
}

TEST_F(WithEchoCore, ACoreThatIgnoresTheStopIsSignalledOnTheSecondSignalOrKilledAfterTheLimit) {
  run({}, {"ECHO_CORE_IGNORE_STOP=1"});
  ASSERT_TRUE(waitForErrors("started"));
  sim->signal(SIGTERM);
  ASSERT_TRUE(waitForErrors("stop packet sent")) << sim->errors();
  sim->signal(SIGINT);
  EXPECT_EQ(sim->wait(), 128 + SIGTERM);
  EXPECT_NE(at(sim->errors(), "Ctrl-C again: sending SIGTERM to the core"), std::string::npos) << sim->errors();

  run({"--duration", "0", "--kill-after", "0.2"}, {"ECHO_CORE_IGNORE_STOP=1"});
  EXPECT_EQ(sim->wait(), 128 + SIGKILL);
  EXPECT_NE(at(sim->errors(), "killing it"), std::string::npos) << sim->errors();
}

// ---- cores that end on their own, and the command line -----------------------

TEST_F(KorvodSim, ExitsWithTheCoresExitCodeWhenTheCoreEndsByItself) {
  coreIsScript("exit 3");
  run({});
  EXPECT_EQ(sim->wait(), 3);
  EXPECT_NE(at(sim->errors(), "the core exited with code 3"), std::string::npos) << sim->errors();

  coreIsScript("kill -KILL $$");
  run({});
  EXPECT_EQ(sim->wait(), 128 + SIGKILL);
  EXPECT_NE(at(sim->errors(), "the core was killed by signal 9"), std::string::npos) << sim->errors();
}

TEST_F(KorvodSim, TheCoreGetsItsPipeAsOnlyArgumentAndRunsInTheWorkingDirectory) {
  // The script records its arguments, its directory and the sockets it holds.
  coreIsScript(
      "echo \"args=$# $1\" > core.txt; pwd >> core.txt\n"
      "for f in /proc/$$/fd/*; do readlink \"$f\" | grep -q '^socket:' && echo \"socket ${f##*/}\"; done >> core.txt\nexit 0");
  const fs::path workdir = tree.root() / "new" / "work";
  run({"--workdir", workdir.string()});
  EXPECT_EQ(sim->wait(), 0);
  std::ifstream in(workdir / "core.txt");
  std::string arguments, directory, line;
  std::getline(in, arguments);
  std::getline(in, directory);
  std::vector<std::string> sockets;
  while (std::getline(in, line)) sockets.push_back(line);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(arguments, match, std::regex(R"(args=1 (\d+))"))) << arguments;
  EXPECT_EQ(fs::canonical(directory), fs::canonical(workdir));
  // Its own end of the pair and nothing else: korvod-sim's end stays behind.
  EXPECT_EQ(sockets, std::vector<std::string>{"socket " + match[1].str()});
}

TEST_F(KorvodSim, AnEmulatorGetsTheCoresPathAndThePipeAndIsFoundInPath) {
  // "sh CORE PIPE" runs a script that is not executable itself.
  tree.writeFile("bin/dvrcore", "echo \"$0 $# $1\" > core.txt\nexit 5\n");
  fs::permissions(tree.executable(), fs::perms(0644));
  run({"--emulator", "sh"});
  EXPECT_EQ(sim->wait(), 5) << sim->errors();
  std::ifstream in(tree.workDir() / "core.txt");
  std::string line;
  std::getline(in, line);
  EXPECT_TRUE(std::regex_match(line, std::regex(tree.executable().string() + R"( 1 \d+)"))) << line;
}

TEST_F(KorvodSim, HelpExplainsEveryOption) {
  run({"--help"});
  EXPECT_EQ(sim->wait(), 0);
  const std::string help = sim->output();
  for (const char* option : {"--core", "--emulator", "--workdir", "--name", "--version", "--background", "--send ", "--send-file",
                             "--send-raw", "--send-delay", "--duration", "--kill-after", "--dump-dir", "--quiet",
                             "--help", "Ctrl-C", "Exit status"}) {
    EXPECT_NE(at(help, option), std::string::npos) << option;
  }
}

TEST_F(KorvodSim, RefusesAWrongCommandLineOrAMissingCoreWithAMessage) {
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
  } cases[] = {
      {{"--frobnicate"}, 64, "unknown option \"--frobnicate\""},
      {{"--send", "0x21:hello"}, 64, "--send wants ID:KIND:TEXT"},
      {{"--send", "256:9:x"}, 64, "plug-in id \"256\" is not a number from 0 to 255"},
      {{"--send-file", "1:9:/no/such/file"}, 64, "cannot read /no/such/file"},
      {{"--duration", "soon"}, 64, "--duration wants seconds"},
      {{"--duration"}, 64, "--duration needs a value"},
      {{"--core", "/no/such/dvrcore"}, 127, "no core executable at /no/such/dvrcore"},
      {{"--emulator", "no-such-emulator"}, 127, "no emulator no-such-emulator in PATH"},
      {{"--emulator"}, 64, "--emulator needs a value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    run(c.arguments);
    EXPECT_EQ(sim->wait(), c.exitCode);
    EXPECT_NE(at(sim->errors(), c.message), std::string::npos) << sim->errors();
  }
}
