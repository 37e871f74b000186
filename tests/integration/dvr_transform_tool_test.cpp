// dvr-transform as a user runs it, checked against the openssl command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "TestPaths.h"
#include "config/CryptoPrimitives.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class TransformTool : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("dvr-transform-test-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const std::string& name) const { return (dir / name).string(); }
  void write(const std::string& name, const std::string& data) const {
    std::ofstream(path(name), std::ios::binary) << data;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Runs a program (looked up in PATH unless it has a slash), its output
  // collected in files.
  Outcome run(std::vector<std::string> args) const {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path(".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, path(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = read(".out");
    outcome.err = read(".err");
    return outcome;
  }
  Outcome tool(std::vector<std::string> args) const {
    args.insert(args.begin(), DVR_TRANSFORM_EXECUTABLE);
    return run(dvrtest::targetCommand(std::move(args)));
  }
};

std::string hex(const uint8_t* bytes, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) out.append(two, std::snprintf(two, sizeof two, "%02x", bytes[i]));
  return out;
}

std::string randomText(std::size_t n, bool withZeros) {
  std::mt19937 gen(99);
  std::string s(n, 'a');
  for (auto& c : s) c = static_cast<char>(withZeros ? gen() : 'a' + gen() % 26);
  return s;
}

TEST_F(TransformTool, ExplainsItselfAndRejectsBadUsage) {
  const Outcome help = tool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"encode", "decode", "--compress", "--no-encrypt", "--key-text", "--identity-text"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  write("in", "x");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"scramble", path("in"), path("out")}, {"encode", path("in")},
           {"encode", "--key-text", "k", "--identity-text", "i", path("in"), path("out")},
           {"decode", "--fast", path("in"), path("out")}}) {
    const Outcome bad = tool(args);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("Usage:"), std::string::npos);
  }
}

TEST_F(TransformTool, RoundTripsFilesWithEveryOption) {
  const std::string text = "Line one of a stored note.\nLine two.\n";
  write("text", text);
  for (const auto& options : std::vector<std::vector<std::string>>{
           {}, {"--compress"}, {"--no-encrypt"}, {"--compress", "--no-encrypt"},
           {"--key-text", "secret"}, {"--identity-text", "device-7"}, {"--compress", "--identity-text", "d"}}) {
    auto encode = options, decode = options;
    encode.insert(encode.begin(), "encode");
    decode.insert(decode.begin(), "decode");
    encode.insert(encode.end(), {path("text"), path("stored")});
    decode.insert(decode.end(), {path("stored"), path("back")});
    ASSERT_EQ(tool(encode).exitCode, 0);
    ASSERT_EQ(tool(decode).exitCode, 0);
    EXPECT_EQ(read("back"), text);
  }
  ASSERT_EQ(tool({"encode", path("text"), path("stored")}).exitCode, 0);
  EXPECT_EQ(read("stored").size(), 16 + text.size() + (16 - text.size() % 16));

  // Binary data, and a file that inflates far beyond its stored size.
  write("binary", randomText(70000, true));
  write("big", std::string(4 << 20, 'z') + "end");
  for (const char* name : {"binary", "big"}) {
    ASSERT_EQ(tool({"encode", "--compress", path(name), path("stored")}).exitCode, 0);
    ASSERT_EQ(tool({"decode", "--compress", path("stored"), path("back")}).exitCode, 0);
    EXPECT_EQ(read("back"), read(name)) << name;
  }
}

TEST_F(TransformTool, ReportsFailuresWithTheirMessages) {
  write("zero", std::string("before\0after", 12));
  Outcome failed = tool({"encode", path("zero"), path("out")});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("size mismatch in verifying saving transformed file"), std::string::npos);
  EXPECT_EQ(read("out"), "");

  failed = tool({"encode", path("missing"), path("out")});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("failed to locate file (err 2)"), std::string::npos);

  write("odd", std::string(40, 'q'));
  failed = tool({"decode", path("odd"), path("out")});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("input buffer invalid for operation"), std::string::npos);

  write("empty", "");
  EXPECT_EQ(tool({"encode", path("empty"), path("out")}).exitCode, 1);
  EXPECT_EQ(tool({"decode", path("empty"), path("out")}).exitCode, 0);
  EXPECT_EQ(read("out"), "");
}

// The stored format is plain AES-128-CBC with a zero IV over a random block,
// the data and its zero padding: openssl reads it and makes it.
TEST_F(TransformTool, FormatIsReadAndMadeByOpenssl) {
  km::core::crypto::Sha256Digest digest;
  ASSERT_TRUE(km::core::crypto::sha256("camera-42", 9, digest));
  const std::string data = randomText(45, false);
  write("data", data);
  const std::string zeroIv = "00000000000000000000000000000000";
  for (const auto& [option, keyText, keyHex] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"--key-text", "0123456789abcdef", "30313233343536373839616263646566"},
           {"--identity-text", "camera-42", hex(digest.data(), 16)}}) {
    ASSERT_EQ(tool({"encode", option, keyText, path("data"), path("stored")}).exitCode, 0);
    ASSERT_EQ(run({"openssl", "enc", "-d", "-aes-128-cbc", "-nopad", "-K", keyHex, "-iv", zeroIv, "-in",
                   path("stored"), "-out", path("opened")})
                  .exitCode,
              0);
    const std::string opened = read("opened");
    ASSERT_EQ(opened.size(), 16 + 48u);
    EXPECT_EQ(opened.substr(16), data + std::string(3, '\0'));

    write("made-plain", "sixteen random b" + data + std::string(3, '\0'));
    ASSERT_EQ(run({"openssl", "enc", "-e", "-aes-128-cbc", "-nopad", "-K", keyHex, "-iv", zeroIv, "-in",
                   path("made-plain"), "-out", path("made")})
                  .exitCode,
              0);
    ASSERT_EQ(tool({"decode", option, keyText, path("made"), path("back")}).exitCode, 0);
    EXPECT_EQ(read("back"), data);
  }
}

}  // namespace
