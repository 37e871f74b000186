// The example recorder and clip-export plug-ins end to end in the real
// executable: the camera's frames recorded, a time range exported, and the
// clip compared frame by frame with what the camera sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CoreHarness.h"

namespace fs = std::filesystem;
using namespace dvrtest;

namespace {

const std::string kLive = "0x2000000";

// One media frame as a plug-in saw it or a file holds it.
struct Frame {
  uint32_t type = 0;
  uint64_t millis = 0;  // time stamp
  uint32_t kind = 0;
  uint32_t length = 0;
  std::string head;  // the first 64 payload bytes in hex, as the test plug-in journals them

  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
  return out << "{type " << frame.type << ", " << frame.millis << " ms, kind " << frame.kind << ", " << frame.length
             << " bytes, " << frame.head.substr(0, 16) << "...}";
}

std::string hexHead(const std::string& payload) {
  std::string hex = "x";
  char digits[3];
  for (size_t i = 0; i < std::min<size_t>(payload.size(), 64); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(payload[i]));
    hex += digits;
  }
  return hex;
}

uint64_t parseMillis(const std::string& text) {
  const auto dot = text.find('.');
  return std::stoull(text.substr(0, dot)) * 1000 + (dot == std::string::npos ? 0 : std::stoull(text.substr(dot + 1)));
}

std::string formatMillis(uint64_t millis) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(millis / 1000),
                static_cast<unsigned long long>(millis % 1000));
  return text;
}

std::string wordOf(const std::string& line, const std::string& name) {
  const auto at = line.find(name + "=");
  if (at == std::string::npos || (at > 0 && line[at - 1] != ' ')) return "";
  const auto begin = at + name.size() + 1;
  return line.substr(begin, line.find(' ', begin) - begin);
}

// The frames of a segment or clip file: a 16-byte header starting with
// `magic`, then records of a 20-byte frame header and the payload. A record
// cut short (still being written) ends the list.
std::vector<Frame> readMediaFile(const fs::path& path, const std::string& magic) {
  std::ifstream file(path, std::ios::binary);
  char header[16];
  if (!file.read(header, sizeof header) || std::string(header, 8) != magic) return {};
  std::vector<Frame> frames;
  for (;;) {
    unsigned char record[20];
    if (!file.read(reinterpret_cast<char*>(record), sizeof record)) break;
    uint32_t type, seconds, length;
    uint16_t millis;
    std::memcpy(&type, record, 4);
    std::memcpy(&seconds, record + 4, 4);
    std::memcpy(&millis, record + 8, 2);
    std::memcpy(&length, record + 12, 4);
    std::string payload(length, '\0');
    if (!file.read(payload.data(), length)) break;
    frames.push_back({type, uint64_t{seconds} * 1000 + millis, record[10], length, hexHead(payload)});
  }
  return frames;
}

std::vector<Frame> inRange(const std::vector<Frame>& frames, uint64_t from, uint64_t to) {
  std::vector<Frame> selected;
  std::copy_if(frames.begin(), frames.end(), std::back_inserter(selected),
               [&](const Frame& frame) { return frame.millis >= from && frame.millis < to; });
  return selected;
}

class RecorderAndClipExport : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;

  void SetUp() override {
    tree.addLogPlugin();
    fs::copy_file(CAMERA_PLUGIN, tree.pluginsDir() / "camera.so");
    fs::copy_file(RECORDER_PLUGIN, tree.pluginsDir() / "recorder.so");
    fs::copy_file(CLIP_EXPORT_PLUGIN, tree.pluginsDir() / "clip-export.so");
    // Sees every live frame the camera gets through, as the recorder does.
    tree.addPlugin("tp_basic", "witness.so", {{"id", "0x40000"}, {"video", kLive}, {"audio", kLive}});
  }
  void start() {
    CoreProcess::Options options;
    options.environment = {"RECORDER_SEGMENT_SECONDS=1"};  // a clip spans several segments
    core = std::make_unique<CoreProcess>(tree, options);
  }

  // What the camera sent, in the order the plug-ins received it.
  std::vector<Frame> witnessed() const {
    std::vector<Frame> frames;
    for (const std::string& line : tree.journalLines({"witness.so OnEvent "})) {
      const std::string type = wordOf(line, "type");
      if (type != "0x1" && type != "0x2") continue;
      frames.push_back({static_cast<uint32_t>(std::stoul(type, nullptr, 16)), parseMillis(wordOf(line, "ts")),
                        static_cast<uint32_t>(std::stoul(wordOf(line, "kind"))),
                        static_cast<uint32_t>(std::stoul(wordOf(line, "length"))), wordOf(line, "payload")});
    }
    return frames;
  }
  // What the recorder has written so far, segment by segment.
  std::vector<Frame> recorded() const {
    std::vector<fs::path> segments;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(tree.workDir() / "recordings", error)) {
      if (entry.path().extension() == ".dvrseg") segments.push_back(entry.path());
    }
    std::sort(segments.begin(), segments.end());
    std::vector<Frame> frames;
    for (const fs::path& segment : segments) {
      for (Frame& frame : readMediaFile(segment, "DVRSEG01")) frames.push_back(std::move(frame));
    }
    return frames;
  }
  // Asks clip-export for a clip and returns the text of its report.
  std::string exportClip(const std::string& request) {
    core->sendPacket(0x23, 40, request);
    return nextReport();
  }
  // The text of the next report clip-export sends.
  std::string nextReport() {
    const auto packet = core->receivePacket(60s);
    if (!packet || packet->size() < 16) return "<no packet>";
    uint32_t words[4];
    std::memcpy(words, packet->data(), sizeof words);
    EXPECT_EQ(words[0], packet->size());
    EXPECT_EQ(words[1], 0x23u << 20);
    EXPECT_EQ(words[2], 41u);
    return packet->substr(16);
  }
};

}  // namespace

TEST_F(RecorderAndClipExport, AClipHoldsExactlyTheFramesTheCameraSentInTheRange) {
  start();
  // A few seconds of recording.
  std::vector<Frame> seen;
  ASSERT_TRUE(eventually(
      [&] {
        seen = witnessed();
        return seen.size() > 2 && seen.back().millis - seen.front().millis >= 3500;
      },
      60s));
  const uint64_t from = seen.front().millis + 1000;
  const uint64_t to = from + 2000;
  const std::vector<Frame> expected = inRange(seen, from, to);
  ASSERT_GT(std::count_if(expected.begin(), expected.end(), [](const Frame& f) { return f.type == 1; }), 10);
  ASSERT_GT(std::count_if(expected.begin(), expected.end(), [](const Frame& f) { return f.type == 2; }), 20);
  // Searches read what is on disk: wait until the range is written.
  ASSERT_TRUE(eventually([&] { return inRange(recorded(), from, to) == expected; }, 60s));

  const std::string report = exportClip("from=" + formatMillis(from) + " to=" + formatMillis(to));
  EXPECT_EQ(wordOf(report, "status"), "ok") << report;
  const std::string clipPath = wordOf(report, "clip");
  EXPECT_EQ(clipPath, "clips/clip-000001.dvrclip");
  const std::vector<Frame> clip = readMediaFile(tree.workDir() / clipPath, "DVRCLIP1");
  EXPECT_EQ(clip, expected);
  const auto videos = std::count_if(clip.begin(), clip.end(), [](const Frame& f) { return f.type == 1; });
  uint64_t bytes = 0;
  for (const Frame& frame : clip) bytes += frame.length;
  EXPECT_EQ(wordOf(report, "video"), std::to_string(videos));
  EXPECT_EQ(wordOf(report, "audio"), std::to_string(clip.size() - static_cast<size_t>(videos)));
  EXPECT_EQ(wordOf(report, "bytes"), std::to_string(bytes));
  ASSERT_FALSE(clip.empty());
  uint64_t first = clip.front().millis, last = clip.front().millis;
  for (const Frame& frame : clip) {
    first = std::min(first, frame.millis);
    last = std::max(last, frame.millis);
  }
  EXPECT_EQ(wordOf(report, "from"), formatMillis(first));
  EXPECT_EQ(wordOf(report, "to"), formatMillis(last));

  // The last two seconds, and only video: a second clip.
  const std::string recent = exportClip("last=2 media=video");
  EXPECT_EQ(wordOf(recent, "status"), "ok") << recent;
  EXPECT_EQ(wordOf(recent, "clip"), "clips/clip-000002.dvrclip");
  EXPECT_EQ(wordOf(recent, "audio"), "0");
  EXPECT_NE(wordOf(recent, "video"), "0");
  EXPECT_LE(parseMillis(wordOf(recent, "to")) - parseMillis(wordOf(recent, "from")), 2000u);
  const std::vector<Frame> recentClip = readMediaFile(tree.workDir() / wordOf(recent, "clip"), "DVRCLIP1");
  const std::vector<Frame> all = witnessed();
  for (const Frame& frame : recentClip) {
    EXPECT_NE(std::find(all.begin(), all.end(), frame), all.end()) << frame;
  }

  // Requests that cannot be served are answered at once.
  EXPECT_EQ(exportClip("last=soon"), "status=bad-request clip=-");
  EXPECT_EQ(exportClip("from=20 to=10"), "status=bad-request clip=-");

  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_NE(core->output().find("dropped 0, lost 0;"), std::string::npos);
}

TEST_F(RecorderAndClipExport, WithoutAProviderTheExportIsGivenUpAndARequestMeanwhileIsBusy) {
  fs::remove(tree.pluginsDir() / "recorder.so");
  CoreProcess::Options options;
  options.environment = {"CLIP_EXPORT_IDLE_SECONDS=5"};
  core = std::make_unique<CoreProcess>(tree, options);
  core->sendPacket(0x23, 40, "last=3");  // nobody answers
  EXPECT_EQ(exportClip("last=3"), "status=busy clip=-");
  EXPECT_EQ(nextReport(), "status=no-answer clip=clips/clip-000001.dvrclip video=0 audio=0 bytes=0 from=- to=-");
  EXPECT_TRUE(fs::exists(tree.workDir() / "clips/clip-000001.dvrclip"));
  EXPECT_FALSE(fs::exists(tree.workDir() / "clips/clip-000002.dvrclip"));
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(RecorderAndClipExport, WithoutADirectoryToRecordInTheRecorderLogsAndTheCoreGoesOn) {
  tree.writeFile("work/recordings", "not a directory");
  start();
  ASSERT_TRUE(core->waitForOutput("cannot start recordings/segment-000001.dvrseg: Not a directory", 60s));
  const std::string report = exportClip("last=1");
  EXPECT_EQ(report, "status=ok clip=clips/clip-000001.dvrclip video=0 audio=0 bytes=0 from=- to=-");
  EXPECT_EQ(linesWith(core->output(), "cannot start recordings/").size(), 1u) << "reported once, not per frame";
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_NE(core->output().find("recorded 0 frame(s)"), std::string::npos);
}
