// recorder - an example storage plug-in in C++: records the live video and
// audio it receives into segment files and serves searches for them.
//
// Copy this file to start a plug-in that owns storage. It shows:
//   - the declaration in Load: id 0x22, live interest in video and audio, and
//     the stored-interest bit for both, so that searches for them reach it;
//   - OnEvent on the dispatch thread that returns at once: it keeps the
//     payload (answers non-zero) and hands the frame to a writer thread of
//     its own, which writes it and then gives the reference back with a
//     "decref" event; when the disk falls behind it drops frames (and counts
//     them) instead of holding more and more of the core's memory;
//   - segment files within a byte budget, the oldest deleted first;
//   - OnSearch on a search thread: the stored frames of a time range, posted
//     in recorded order with their original time stamps, one payload ahead
//     of the requester (post waits), stopping when the requester cancels or
//     the plug-in closes, and an end marker after the last frame;
//   - the typed views of plugin_events.hpp (VideoEvt, StoredVideoEvt, ...).
//
// Files (all under "recordings" in the core's working directory):
// "segment-NNNNNN.dvrseg", a 16-byte header ("DVRSEG01", version 1, 0)
// followed by frame records (a 20-byte frame header, then the payload); the
// README beside this file gives the layout, the search query and the end
// marker. Segments left from an earlier run are found again at Open.
//
// Environment: RECORDER_BUDGET_MB (default 64) bounds the bytes kept on
// disk; RECORDER_SEGMENT_SECONDS (default 10) is the media time per segment.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "plugin_api.h"
#include "plugin_events.hpp"

using namespace km::core;

namespace {

constexpr uint32_t kRecorderId = 0x22;
constexpr uint32_t kSource = DVR_SOURCE_PLUGIN(kRecorderId);
constexpr const char* kDirectory = "recordings";

// The end marker: a stored video event without payload whose param is this
// word ("ENDS"); its type-specific area holds the frames answered and a status.
constexpr uint32_t kEndMarker = 0x454E4453u;
enum class SearchStatus : uint32_t { Complete = 0, BadQuery = 2, StorageError = 3 };

// What the writer may hold before it drops frames.
constexpr std::size_t kMaxPendingFrames = 512;
constexpr std::size_t kMaxPendingBytes = 16u << 20;
constexpr uint32_t kMaxFrameBytes = 16u << 20;  // larger records mean a damaged file

// ---- records on disk -----------------------------------------------------------

constexpr char kSegmentMagic[8] = {'D', 'V', 'R', 'S', 'E', 'G', '0', '1'};
constexpr uint32_t kFileVersion = 1;

struct FileHeader {
  char magic[8];
  uint32_t version;
  uint32_t reserved;
};
static_assert(sizeof(FileHeader) == 16);

struct FrameHeader {
  uint32_t type;     // 1 video, 2 audio
  uint32_t seconds;  // the frame's own time stamp
  uint16_t millis;
  uint8_t kind;      // frameKind as received
  uint8_t flags;     // frameFlags as received
  uint32_t length;   // payload bytes that follow
  uint32_t source;   // who posted the live frame
};
static_assert(sizeof(FrameHeader) == 20);

// Milliseconds since 1970, the unit of every time comparison here.
using Millis = uint64_t;
Millis millisOf(uint32_t seconds, uint16_t millis) { return Millis{seconds} * 1000 + millis; }

// ---- the core's services ---------------------------------------------------------

PostFn corePost = nullptr;

void logLine(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logLine(int32_t level, const char* format, ...) {
  char text[400];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  LogEvt line;
  line.source = kSource;
  line.setLevel(level);
  line.setPayload(text, static_cast<uint32_t>(std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1)));
  corePost(&line);
}

// Gives a kept payload back to the core.
void giveBack(void* payload) {
  EventParms decref = makeEventRecord(DVR_TYPE_DECREF, 0);
  decref.source = kSource;
  decref.payload = payload;
  corePost(&decref);
}

// ---- small POSIX helpers -----------------------------------------------------------

class File {
 public:
  File() = default;
  explicit File(int fd) : fd(fd) {}
  File(File&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }
  ~File() { reset(); }
  int get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  int fd = -1;
};

bool readFully(int fd, void* into, std::size_t size) {
  auto* bytes = static_cast<char*>(into);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Writes header and payload as one record; false with errno set on failure.
bool writeFrame(int fd, const FrameHeader& header, const void* payload) {
  iovec parts[2] = {{const_cast<FrameHeader*>(&header), sizeof header}, {const_cast<void*>(payload), header.length}};
  std::size_t left = sizeof header + header.length;
  int first = 0;
  while (left > 0) {
    const ssize_t wrote = ::writev(fd, parts + first, 2 - first);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      return false;
    }
    left -= static_cast<std::size_t>(wrote);
    for (std::size_t done = static_cast<std::size_t>(wrote); done > 0 && first < 2;) {
      const std::size_t step = std::min(done, parts[first].iov_len);
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      done -= step;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  return true;
}

std::string segmentPath(uint32_t number) {
  char name[64];
  std::snprintf(name, sizeof name, "%s/segment-%06u.dvrseg", kDirectory, number);
  return name;
}

// ---- the segment index: shared by the writer and the search threads -----------------

struct Segment {
  uint32_t number = 0;
  Millis first = 0;  // earliest and latest frame time stamps in it
  Millis last = 0;
  uint64_t bytes = 0;  // file size
  bool empty = true;
};

class SegmentIndex {
 public:
  void add(const Segment& segment) {
    std::lock_guard guard(lock);
    segments.push_back(segment);
    totalBytes += segment.bytes;
  }
  // A frame was appended to the newest segment.
  void grow(Millis stamp, uint64_t bytes) {
    std::lock_guard guard(lock);
    if (segments.empty()) return;
    Segment& newest = segments.back();
    newest.first = newest.empty ? stamp : std::min(newest.first, stamp);
    newest.last = newest.empty ? stamp : std::max(newest.last, stamp);
    newest.empty = false;
    newest.bytes += bytes;
    totalBytes += bytes;
  }
  // Takes the oldest segment out when more than `budget` bytes are kept and
  // it is not the newest one (the one being written).
  std::optional<Segment> takeOldestBeyond(uint64_t budget) {
    std::lock_guard guard(lock);
    if (totalBytes <= budget || segments.size() < 2) return std::nullopt;
    Segment oldest = segments.front();
    segments.pop_front();
    totalBytes -= oldest.bytes;
    return oldest;
  }
  // The segments that may hold frames in [from, to), oldest first.
  std::vector<uint32_t> overlapping(Millis from, Millis to) const {
    std::lock_guard guard(lock);
    std::vector<uint32_t> numbers;
    for (const Segment& segment : segments) {
      if (!segment.empty && segment.first < to && segment.last >= from) numbers.push_back(segment.number);
    }
    return numbers;
  }
  uint32_t nextNumber() const {
    std::lock_guard guard(lock);
    return segments.empty() ? 1 : segments.back().number + 1;
  }
  std::size_t count() const {
    std::lock_guard guard(lock);
    return segments.size();
  }

 private:
  mutable std::mutex lock;  // guards segments, totalBytes
  std::deque<Segment> segments;
  uint64_t totalBytes = 0;
};

// Reads a segment written earlier: its time span and size, up to the last
// whole frame.
std::optional<Segment> scanSegment(uint32_t number) {
  File file(::open(segmentPath(number).c_str(), O_RDONLY | O_CLOEXEC));
  FileHeader header{};
  if (!file || !readFully(file.get(), &header, sizeof header) ||
      std::memcmp(header.magic, kSegmentMagic, sizeof kSegmentMagic) != 0) {
    return std::nullopt;
  }
  Segment segment;
  segment.number = number;
  segment.bytes = sizeof header;
  FrameHeader frame{};
  while (readFully(file.get(), &frame, sizeof frame) && frame.length <= kMaxFrameBytes) {
    if (::lseek(file.get(), frame.length, SEEK_CUR) < 0) break;
    const Millis stamp = millisOf(frame.seconds, frame.millis);
    segment.first = segment.empty ? stamp : std::min(segment.first, stamp);
    segment.last = segment.empty ? stamp : std::max(segment.last, stamp);
    segment.empty = false;
    segment.bytes += sizeof frame + frame.length;
  }
  struct stat status{};
  if (::fstat(file.get(), &status) == 0) segment.bytes = static_cast<uint64_t>(status.st_size);
  return segment;
}

// ---- the writer thread -----------------------------------------------------------------

struct Settings {
  uint64_t budgetBytes = 64u << 20;
  Millis segmentMillis = 10'000;
};

uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (!text) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' && value > 0 ? value : fallback;
}

// A frame received and kept, waiting to be written.
struct PendingFrame {
  FrameHeader header;
  void* payload;  // the core's block; given back after writing
};

class Writer {
 public:
  Writer(SegmentIndex& index, const Settings& settings) : index(index), settings(settings) {}

  void start() { thread = std::thread([this] { run(); }); }
  // Writes what is queued, then ends the thread. Main thread (Close).
  void stop() {
    {
      std::lock_guard guard(lock);
      stopping = true;
    }
    wake.notify_one();
    if (thread.joinable()) thread.join();
  }

  // Dispatch thread. True when the frame is queued and its payload kept.
  bool offer(const EventParms& e) {
    const bool video = (e.type & ~DVR_TYPE_MODIFIER) == DVR_TYPE_VIDEO;
    std::lock_guard guard(lock);
    if (stopping) return false;
    // After a dropped video frame the following ones cannot be decoded
    // until the next key frame: those go too.
    const bool key = (e.frameKind & DVR_FRAME_KIND_MASK) == DVR_FRAME_KIND_KEY;
    if (video && !key && videoGaps.contains(e.source)) return dropLocked();
    if (pending.size() >= kMaxPendingFrames || pendingBytes + e.length > kMaxPendingBytes) {
      if (video) videoGaps.insert(e.source);
      return dropLocked();
    }
    if (video) videoGaps.erase(e.source);
    pending.push_back({FrameHeader{e.type & ~DVR_TYPE_MODIFIER, e.frameSeconds, e.frameMillis, e.frameKind,
                                   e.frameFlags, e.length, e.source},
                       e.payload});
    pendingBytes += e.length;
    if (dropping) {
      dropping = false;
      reportRecovery = true;
    }
    wake.notify_one();
    return true;
  }

  // Totals for the closing line (after stop()).
  uint64_t framesWritten = 0, bytesWritten = 0, framesDropped = 0, framesLost = 0, segmentsDeleted = 0;

 private:
  bool dropLocked() {
    ++framesDropped;
    ++droppedSinceReport;
    if (!dropping) {
      dropping = true;
      reportDropping = true;
      wake.notify_one();
    }
    return false;
  }

  void run() {
    for (;;) {
      std::unique_lock guard(lock);
      wake.wait(guard, [this] { return stopping || !pending.empty() || reportDropping || reportRecovery; });
      reportDroppingState(guard);
      if (pending.empty()) {
        if (stopping) break;
        continue;
      }
      const PendingFrame frame = pending.front();
      guard.unlock();

      write(frame);
      giveBack(frame.payload);

      guard.lock();
      pending.pop_front();
      pendingBytes -= frame.header.length;
    }
    segment.reset();
  }

  // Logs outside the lock: posting a log line must not stall OnEvent.
  void reportDroppingState(std::unique_lock<std::mutex>& guard) {
    const bool started = std::exchange(reportDropping, false);
    const bool ended = std::exchange(reportRecovery, false);
    const uint64_t dropped = ended ? std::exchange(droppedSinceReport, 0) : 0;
    if (!started && !ended) return;
    guard.unlock();
    if (started) logLine(DVR_LOG_NOTICE, "the disk is falling behind: dropping frames");
    if (ended) logLine(DVR_LOG_NOTICE, "recording again after dropping %llu frame(s)", (unsigned long long)dropped);
    guard.lock();
  }

  void write(const PendingFrame& frame) {
    const Millis stamp = millisOf(frame.header.seconds, frame.header.millis);
    if (segment && (stamp >= segmentStart + settings.segmentMillis || stamp + settings.segmentMillis < segmentStart ||
                    segmentBytes >= settings.budgetBytes / 4)) {
      segment.reset();
    }
    if (!segment && !openSegment(stamp)) {
      ++framesLost;
      return;
    }
    if (!writeFrame(segment.get(), frame.header, frame.payload)) {
      failed("cannot write %s: %s", segmentPath(segmentNumber).c_str());
      // Cut the partial record off, and go on in a new segment.
      if (::ftruncate(segment.get(), static_cast<off_t>(segmentBytes)) != 0) {
        // The record stays cut short; readers stop at it.
      }
      segment.reset();
      ++framesLost;
      return;
    }
    const uint64_t bytes = sizeof frame.header + frame.header.length;
    segmentBytes += bytes;
    index.grow(stamp, bytes);
    ++framesWritten;
    bytesWritten += frame.header.length;
    if (failing) {
      failing = false;
      logLine(DVR_LOG_NOTICE, "writing again after losing %llu frame(s)", (unsigned long long)framesLost);
    }
    keepWithinBudget();
  }

  bool openSegment(Millis stamp) {
    if (::mkdir(kDirectory, 0755) != 0 && errno != EEXIST) {
      failed("cannot create %s: %s", kDirectory);
      return false;
    }
    const uint32_t number = index.nextNumber();
    const std::string path = segmentPath(number);
    File file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    FileHeader header{};
    std::memcpy(header.magic, kSegmentMagic, sizeof header.magic);
    header.version = kFileVersion;
    if (!file || ::write(file.get(), &header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
      failed("cannot start %s: %s", path.c_str());
      if (file) ::unlink(path.c_str());
      return false;
    }
    segment = std::move(file);
    segmentNumber = number;
    segmentStart = stamp;
    segmentBytes = sizeof header;
    Segment entry;
    entry.number = number;
    entry.bytes = sizeof header;
    index.add(entry);
    return true;
  }

  void keepWithinBudget() {
    while (const auto oldest = index.takeOldestBeyond(settings.budgetBytes)) {
      // A search reading it keeps its open descriptor; the name goes now.
      ::unlink(segmentPath(oldest->number).c_str());
      ++segmentsDeleted;
    }
  }

  // Reports the first failure of a run of failures; the frames lost meanwhile
  // are counted and reported when writing works again.
  void failed(const char* format, const char* what) {
    const int error = errno;
    if (failing) return;
    failing = true;
    logLine(DVR_LOG_ERROR, format, what, std::strerror(error));
  }

  SegmentIndex& index;
  const Settings& settings;
  std::thread thread;

  std::mutex lock;  // guards pending, pendingBytes, stopping, videoGaps, the dropping flags and counters
  std::condition_variable wake;
  std::deque<PendingFrame> pending;
  std::size_t pendingBytes = 0;
  bool stopping = false;
  std::unordered_set<uint32_t> videoGaps;  // sources whose video waits for a key frame
  bool dropping = false, reportDropping = false, reportRecovery = false;
  uint64_t droppedSinceReport = 0;

  // The writer thread's own.
  File segment;
  uint32_t segmentNumber = 0;
  Millis segmentStart = 0;
  uint64_t segmentBytes = 0;
  bool failing = false;
};

// ---- searches ---------------------------------------------------------------------------

// "media=video,audio from=SECONDS[.mmm] to=SECONDS[.mmm]": the frames whose
// time stamp t has from <= t < to.
struct Query {
  Millis from = 0;
  Millis to = 0;
  bool video = true;
  bool audio = true;
};

std::optional<Millis> parseTime(std::string_view text) {
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  uint64_t seconds = 0;
  if (whole.empty() || std::from_chars(whole.data(), whole.data() + whole.size(), seconds).ptr != whole.data() + whole.size() ||
      seconds > UINT32_MAX) {
    return std::nullopt;
  }
  uint64_t millis = 0;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
      const char digit = i < fraction.size() ? fraction[i] : '0';
      if (digit < '0' || digit > '9') return std::nullopt;
      millis = millis * 10 + static_cast<uint64_t>(digit - '0');
    }
  }
  return seconds * 1000 + millis;
}

std::optional<Query> parseQuery(const void* payload, uint32_t length) {
  if (!payload || length == 0 || length > 256) return std::nullopt;
  const std::string_view text(static_cast<const char*>(payload), length);
  Query query;
  bool haveFrom = false, haveTo = false;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end;
    const auto equals = word.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = word.substr(0, equals), value = word.substr(equals + 1);
    if (key == "from" || key == "to") {
      const auto time = parseTime(value);
      if (!time) return std::nullopt;
      (key == "from" ? query.from : query.to) = *time;
      (key == "from" ? haveFrom : haveTo) = true;
    } else if (key == "media") {
      query.video = value == "video" || value == "video,audio" || value == "audio,video";
      query.audio = value == "audio" || value == "video,audio" || value == "audio,video";
      if (!query.video && !query.audio) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!haveFrom || !haveTo || query.from >= query.to) return std::nullopt;
  return query;
}

SegmentIndex segmentIndex;
Settings settings;
std::optional<Writer> writer;  // exists from Open to Unload
std::atomic<bool> closed{false};
std::atomic<uint64_t> searchesServed{0};

// Posts one stored frame; false when the core refused it (cancelled, or the
// core stops): the search ends there.
bool postStored(const EventParms& request, const FrameHeader& frame, const void* payload) {
  auto fill = [&](auto& answer) {
    answer.source = kSource;
    answer.requestId = request.requestId;
    answer.setTimestamp(frame.seconds, frame.millis);
    answer.frameKind = frame.kind;
    answer.frameFlags = frame.flags;
    answer.setPayload(payload, frame.length);
    // Waits while the requester still holds the previous answer's payload.
    return corePost(&answer) == 0;
  };
  if (frame.type == DVR_TYPE_VIDEO) {
    StoredVideoEvt answer;
    return fill(answer);
  }
  StoredAudioEvt answer;
  return fill(answer);
}

void postEndMarker(const EventParms& request, uint32_t answered, SearchStatus status) {
  StoredVideoEvt marker;
  marker.source = kSource;
  marker.requestId = request.requestId;
  marker.param = kEndMarker;
  const uint32_t words[2] = {answered, static_cast<uint32_t>(status)};
  std::memcpy(marker.typeSpecific, words, sizeof words);
  corePost(&marker);
}

// Posts the frames of one segment that the query asks for. False when the
// search must end (refused, or closed).
bool answerFromSegment(const EventParms& request, const Query& query, uint32_t number, std::vector<char>& buffer,
                       uint32_t& answered, bool& unreadable) {
  File file(::open(segmentPath(number).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return true;  // deleted for the budget since the search began
  FileHeader header{};
  if (!readFully(file.get(), &header, sizeof header) ||
      std::memcmp(header.magic, kSegmentMagic, sizeof kSegmentMagic) != 0) {
    unreadable = true;
    return true;
  }
  FrameHeader frame{};
  // A record cut short is the tail the writer is still appending: stop there.
  while (readFully(file.get(), &frame, sizeof frame) && frame.length <= kMaxFrameBytes) {
    if (closed.load()) return false;
    const Millis stamp = millisOf(frame.seconds, frame.millis);
    const bool wanted = stamp >= query.from && stamp < query.to &&
                        ((frame.type == DVR_TYPE_VIDEO && query.video) || (frame.type == DVR_TYPE_AUDIO && query.audio));
    if (!wanted) {
      if (::lseek(file.get(), frame.length, SEEK_CUR) < 0) break;
      continue;
    }
    buffer.resize(frame.length);
    if (!readFully(file.get(), buffer.data(), frame.length)) break;
    if (!postStored(request, frame, buffer.data())) return false;
    ++answered;
  }
  return true;
}

void serveSearch(const EventParms& request) {
  ++searchesServed;
  const auto query = parseQuery(request.payload, request.length);
  if (!query) {
    postEndMarker(request, 0, SearchStatus::BadQuery);
    return;
  }
  std::vector<char> buffer;
  uint32_t answered = 0;
  bool unreadable = false;
  for (const uint32_t number : segmentIndex.overlapping(query->from, query->to)) {
    if (!answerFromSegment(request, *query, number, buffer, answered, unreadable)) return;
  }
  postEndMarker(request, answered, unreadable ? SearchStatus::StorageError : SearchStatus::Complete);
}

// Segments from an earlier run, oldest first; beyond the budget they go.
void findEarlierSegments() {
  std::vector<uint32_t> numbers;
  if (DIR* directory = ::opendir(kDirectory)) {
    while (const dirent* entry = ::readdir(directory)) {
      unsigned number = 0;
      char tail[16] = "";
      if (std::sscanf(entry->d_name, "segment-%u.%15s", &number, tail) == 2 && std::strcmp(tail, "dvrseg") == 0 &&
          number > 0) {
        numbers.push_back(number);
      }
    }
    ::closedir(directory);
  }
  std::sort(numbers.begin(), numbers.end());
  for (const uint32_t number : numbers) {
    if (const auto segment = scanSegment(number)) segmentIndex.add(*segment);
  }
}

}  // namespace

extern "C" {

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  corePost = in->post;
  out->idWord = kSource;
  out->videoInterest = DVR_INTEREST_LIVE | DVR_INTEREST_STORED;
  out->audioInterest = DVR_INTEREST_LIVE | DVR_INTEREST_STORED;
  settings.budgetBytes = environmentNumber("RECORDER_BUDGET_MB", 64) << 20;
  settings.segmentMillis = environmentNumber("RECORDER_SEGMENT_SECONDS", 10) * 1000;
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn*, UnloadOut*) { writer.reset(); }

DVR_PLUGIN_EXPORT void Open(const OpenIn*, OpenOut*) {
  closed = false;
  findEarlierSegments();
  writer.emplace(segmentIndex, settings);
  writer->start();
  logLine(DVR_LOG_INFO, "recording video and audio into %s/ (budget %llu MiB, %zu segment(s) from before)",
          kDirectory, (unsigned long long)(settings.budgetBytes >> 20), segmentIndex.count());
}

DVR_PLUGIN_EXPORT void Close(const CloseIn*, CloseOut*) {
  // Searches see the flag between frames; one waiting in post is released by
  // the core, which refuses answers once it stops.
  closed = true;
  if (!writer) return;
  writer->stop();
  logLine(DVR_LOG_INFO,
          "recorded %llu frame(s), %llu bytes; dropped %llu, lost %llu; deleted %llu old segment(s); "
          "served %llu search(es)",
          (unsigned long long)writer->framesWritten, (unsigned long long)writer->bytesWritten,
          (unsigned long long)writer->framesDropped, (unsigned long long)writer->framesLost,
          (unsigned long long)writer->segmentsDeleted, (unsigned long long)searchesServed.load());
}

// Live frames from other plug-ins; keeps the payload until it is written.
DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* e) {
  const uint32_t type = e->type & ~DVR_TYPE_MODIFIER;
  if (!(e->flags & DVR_FLAG_LIVE) || (type != DVR_TYPE_VIDEO && type != DVR_TYPE_AUDIO)) return 0;
  // Decoded output frames are not recorded; neither is a frame whose
  // payload the core could not allocate.
  const bool output = type == DVR_TYPE_VIDEO ? static_cast<const VideoEvt*>(e)->isOutputFrame()
                                              : static_cast<const AudioEvt*>(e)->isOutputFrame();
  if (output || !e->payload || e->length == 0 || e->length > kMaxFrameBytes) return 0;
  return writer && writer->offer(*e) ? 1 : 0;
}

DVR_PLUGIN_EXPORT void OnSearch(const EventParms* request) {
  if (!closed.load()) serveSearch(*request);
}

}  // extern "C"
