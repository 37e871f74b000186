// The configurable test plug-in. One source, built into several variants that
// differ in which entry points they export (TP_* definitions). Each copy reads
// its settings from "<its own path>.conf" (key=value lines), records every
// call it receives as a line in the journal file, and runs commands that the
// test, playing the daemon, sends it as packets, so a test can both drive a
// plug-in and assert what it saw.
//
// Journal: $DVRTEST_JOURNAL, else "journal.txt" in the working directory; one
// line per call, written with a single append: "<file name> <call> k=v ...".
//
// Settings: id ("none" = no id; absent = the zero the core preset), the
// interest words video/audio/alarm/ptz/serial/log/pos/analytic, closeRank,
// worker, reader, acceptsWrite, loadResult, keep (keepType: only events of
// that type), fullPayload (journal whole
// payloads, not their first 64 bytes), onEventType (run onEvent only for
// events of this type), decrefInCall (give the
// payload back from inside OnEvent), eventDelayMs, onSearch (a script run on
// the search thread; "req=search" in it is the request's id),
// searchRunsPayload (run the request's payload as that script),
// searchUntilClosed, loadFault
// ("crash": a write through a null pointer in Load; "hang": Load never
// returns), declSize/declVersion (written into LoadOut's header), recordStatus
// (journal the calling thread's ids and capability sets at Load, Open, each
// OnEvent and in the worker), dumpRecords (journal each call's records as
// hex), and command scripts onLoad/onOpen/onClose/onUnload/onEvent/onWorker.
// Commands: post (payload: text=, hex=, length= or the tag; size= overrides the
// record's size field), decref, query,
// journal, sleep ms=N, waitfor [ms=N] text=... (or file=...), grow mb=N (make N
// MiB more of the process resident), shrink (give all of it back), background <command>.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plugin_api.h"
#include "plugin_events.hpp"

using namespace km::core;

namespace {

std::string ownFileName;
std::map<std::string, std::string> settings;
PostFn corePost = nullptr;
std::mutex closeLock;  // guards closed
std::condition_variable closeCond;
bool closed = false;
std::mutex keptLock;  // guards kept
std::vector<void*> kept;
std::mutex backgroundLock;  // guards backgroundThreads
std::vector<std::thread> backgroundThreads;
// The request the calling search thread serves ("req=search" in commands).
thread_local uint32_t currentRequest = 0;
std::mutex sequenceLock;  // guards nextInSequence, sequenceErrors, sequenceDelivered
std::map<std::string, uint64_t> nextInSequence;
std::map<std::string, uint64_t> sequenceErrors;
uint64_t sequenceDelivered = 0;
std::mutex grownLock;  // guards grown
std::vector<std::pair<void*, size_t>> grown;

std::string setting(const std::string& key, const std::string& fallback = "") {
  auto found = settings.find(key);
  return found == settings.end() ? fallback : found->second;
}

uint32_t number(const std::string& text) { return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0)); }

uint32_t numberSetting(const std::string& key, uint32_t fallback = 0) {
  auto found = settings.find(key);
  return found == settings.end() ? fallback : number(found->second);
}

bool onMainThread() { return syscall(SYS_gettid) == getpid(); }

void journal(const std::string& text) {
  const char* path = std::getenv("DVRTEST_JOURNAL");
  const int fd = ::open(path ? path : "journal.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  const std::string line = ownFileName + " " + text + "\n";
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

std::string thread() { return onMainThread() ? "main" : "other"; }

std::string hexWord(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// Printable payloads as they are, others as hex, cut at 64 bytes.
std::string preview(const void* payload, uint32_t length) {
  if (!payload) return "null";
  const auto* bytes = static_cast<const unsigned char*>(payload);
  const uint32_t shown = length < 64 || numberSetting("fullPayload") ? length : 64;
  bool printable = true;
  for (uint32_t i = 0; i < shown; ++i) printable = printable && bytes[i] >= 0x20 && bytes[i] < 0x7f;
  if (printable) return "'" + std::string(reinterpret_cast<const char*>(bytes), shown) + "'";
  std::string hex = "x";
  char digits[3];
  for (uint32_t i = 0; i < shown; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    hex += digits;
  }
  return hex;
}

[[maybe_unused]] std::string describe(const EventParms& e) {
  std::ostringstream out;
  out << "type=" << hexWord(e.type) << " flags=" << hexWord(e.flags) << " source=" << hexWord(e.source)
      << " req=" << hexWord(e.requestId) << " param=" << e.param << " length=" << e.length
      << " size=" << e.size << " kind=" << unsigned(e.frameKind) << " fflags=" << hexWord(e.frameFlags)
      << " ts=" << e.frameSeconds << "." << std::setw(3) << std::setfill('0') << e.frameMillis << std::setfill(' ')
      << " thread=" << thread() << " payload=" << preview(e.payload, e.length);
  return out.str();
}

// The calling thread's identity and capability lines of its status file, as
// one journal line (capability sets are per thread, so the thread's own file).
void recordStatus(const char* when) {
  std::ifstream status("/proc/thread-self/status");
  std::string line, summary;
  while (std::getline(status, line)) {
    for (const char* key : {"Uid:", "Gid:", "Groups:", "CapEff:", "CapPrm:", "CapInh:"}) {
      if (line.rfind(key, 0) == 0) {
        std::string value = line.substr(std::strlen(key));
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        for (char& c : value) {
          if (c == '\t' || c == ' ') c = ',';
        }
        summary += " " + std::string(key, std::strlen(key) - 1) + "=" + value;
      }
    }
  }
  journal(std::string("status when=") + when + summary);
}

// With dumpRecords=1: the records of a call byte for byte, as the plug-in
// received them (the output record before the plug-in wrote to it).
[[maybe_unused]] void dumpRecords(const char* call, const void* in, size_t inSize, const void* out, size_t outSize) {
  if (numberSetting("dumpRecords") == 0) return;
  auto hex = [](const void* record, size_t size) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < size; ++i) {
      std::snprintf(digits, sizeof digits, "%02x", static_cast<const unsigned char*>(record)[i]);
      text += digits;
    }
    return text;
  };
  journal(std::string("records call=") + call + " in=" + hex(in, in ? inSize : 0) + " out=" + hex(out, out ? outSize : 0));
}

[[maybe_unused]] int32_t keepAnswer(const void* payload) {
  if (numberSetting("keep") == 0) return 0;
  if (payload) {
    std::lock_guard guard(keptLock);
    kept.push_back(const_cast<void*>(payload));
  }
  return 1;
}

[[maybe_unused]] void sleepIfAsked(const char* key) {
  if (const uint32_t ms = numberSetting(key)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- commands ---------------------------------------------------------------

using Arguments = std::map<std::string, std::string>;

Arguments parseArguments(std::istringstream& words) {
  Arguments arguments;
  std::string word;
  while (words >> word) {
    const auto equals = word.find('=');
    if (word.rfind("text=", 0) == 0) {
      // The rest of the line is the text.
      std::string rest;
      std::getline(words, rest);
      arguments["text"] = word.substr(5) + rest;
      break;
    }
    if (equals != std::string::npos) arguments[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return arguments;
}

uint32_t argument(const Arguments& arguments, const std::string& key, uint32_t fallback = 0) {
  auto found = arguments.find(key);
  if (found == arguments.end()) return fallback;
  return found->second == "search" ? currentRequest : number(found->second);
}

// Posts `count` events from `threads` threads (from the calling thread when
// it serves a search and one thread is asked for); records each thread's
// result codes in order. Payloads carry "<tag>:<thread>:<sequence>" unless a text
// or a byte count is given.
void postEvents(const Arguments& a) {
  const uint32_t count = argument(a, "count", 1);
  const uint32_t threads = argument(a, "threads", 1);
  const std::string tag = a.contains("tag") ? a.at("tag") : "p";
  const uint32_t keyEvery = argument(a, "keyevery", 0);
  const bool summary = argument(a, "summary") != 0;
  // A large payload outside the heap, so that a test can make the core's
  // own large allocations fail while the poster's succeeds.
  const bool mapped = argument(a, "mmap") != 0 && argument(a, "length") > 0;
  auto run = [&](uint32_t threadIndex, std::string* results) {
    void* area = MAP_FAILED;
    const size_t areaSize = argument(a, "length");
    if (mapped) {
      area = mmap(nullptr, areaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (area == MAP_FAILED) {
        *results = "mmap-failed";
        return;
      }
      std::memset(area, 'b', areaSize);
    }
    uint64_t accepted = 0, refused = 0, acceptedAfterRefusal = 0;
    for (uint32_t i = 0; i < count; ++i) {
      EventParms e = makeEventRecord(argument(a, "type"), argument(a, "flags", DVR_FLAG_LIVE));
      e.source = argument(a, "source", DVR_SOURCE_CORE);
      e.requestId = argument(a, "req");
      e.param = argument(a, "param");
      e.frameKind = static_cast<uint8_t>(argument(a, "kind"));
      if (keyEvery) e.frameKind = (i % keyEvery == 0) ? 1 : 0;
      e.frameFlags = static_cast<uint8_t>(argument(a, "fflags"));
      std::string payload;
      if (a.contains("text")) {
        payload = a.at("text");
      } else if (a.contains("hex")) {
        // Bytes a command line cannot carry (NUL, CR, LF), two hex digits each.
        const std::string& digits = a.at("hex");
        for (size_t at = 0; at + 1 < digits.size(); at += 2) {
          payload += static_cast<char>(std::strtoul(digits.substr(at, 2).c_str(), nullptr, 16));
        }
      } else if (a.contains("length")) {
        if (!mapped) payload.assign(argument(a, "length"), 'b');
      } else if (!a.contains("nopayload")) {
        payload = tag + ":" + std::to_string(threadIndex) + ":" + std::to_string(i);
      }
      e.payload = payload.empty() ? nullptr : payload.data();
      e.length = static_cast<uint32_t>(payload.size());
      if (mapped) {
        e.payload = area;
        e.length = static_cast<uint32_t>(areaSize);
      }
      if (a.contains("rawlength")) e.length = argument(a, "rawlength");
      if (a.contains("size")) e.size = argument(a, "size");
      const int32_t result = corePost(&e);
      if (summary) {
        if (result == 0) {
          ++accepted;
          if (refused) ++acceptedAfterRefusal;
        } else {
          ++refused;
        }
      } else {
        *results += (i ? "," : "") + std::to_string(result);
      }
    }
    if (summary) {
      *results = "accepted=" + std::to_string(accepted) + " refused=" + std::to_string(refused) +
                 " acceptedAfterRefusal=" + std::to_string(acceptedAfterRefusal);
    }
    if (area != MAP_FAILED) munmap(area, areaSize);
  };
  std::vector<std::string> results(threads);
  if (threads == 1 && currentRequest != 0) {
    // A search's answers count only when posted by the search thread itself.
    run(0, &results[0]);
  } else {
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < threads; ++t) workers.emplace_back(run, t, &results[t]);
    for (auto& worker : workers) worker.join();
  }
  for (uint32_t t = 0; t < threads; ++t) {
    journal("posted tag=" + tag + " thread=" + std::to_string(t) + (summary ? " " : " results=") + results[t]);
  }
}

// With sequence=1: "<tag>:<thread>:<n>" payloads, each expected to be the
// next n of its tag and thread.
[[maybe_unused]] void checkSequence(const EventParms& e) {
  if (!e.payload || numberSetting("sequence") == 0) return;
  const std::string text(static_cast<const char*>(e.payload), e.length);
  const auto last = text.rfind(':');
  if (last == std::string::npos || last == 0) return;
  const std::string key = text.substr(0, last);
  const uint64_t n = std::strtoull(text.c_str() + last + 1, nullptr, 10);
  bool progress = false;
  {
    std::lock_guard guard(sequenceLock);
    uint64_t& next = nextInSequence[key];
    if (n != next) ++sequenceErrors[key];
    next = n + 1;
    progress = ++sequenceDelivered == numberSetting("progressAt", 1000);
  }
  if (progress) journal("progress delivered=" + std::to_string(numberSetting("progressAt", 1000)));
}

[[maybe_unused]] void journalSequences() {
  std::lock_guard guard(sequenceLock);
  for (const auto& [key, next] : nextInSequence) {
    journal("sequence key=" + key + " next=" + std::to_string(next) + " errors=" + std::to_string(sequenceErrors[key]));
  }
}

// This process's resident bytes, from its statm file.
unsigned long long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
}

// Maps `megabytes` MiB and makes every page resident: populated by the kernel
// where it can (no writes that a sanitizer would shadow), else touched.
void growResident(uint32_t megabytes) {
  const size_t bytes = static_cast<size_t>(megabytes) << 20;
  const unsigned long long before = residentBytes();
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) {
    journal("grew failed");
    return;
  }
  if (residentBytes() < before + bytes / 2) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (size_t at = 0; at < bytes; at += page) static_cast<volatile char*>(memory)[at] = 1;
  }
  {
    std::lock_guard guard(grownLock);
    grown.emplace_back(memory, bytes);
  }
  journal("grew mb=" + std::to_string(megabytes) + " resident=" + std::to_string(residentBytes()));
}

void shrinkResident() {
  std::vector<std::pair<void*, size_t>> mappings;
  {
    std::lock_guard guard(grownLock);
    mappings.swap(grown);
  }
  for (const auto& [memory, bytes] : mappings) munmap(memory, bytes);
  journal("shrank resident=" + std::to_string(residentBytes()));
}

void runCommand(const std::string& line);

// "background <command>": runs the command on a thread of its own, joined
// when the plug-in is closed, so the caller (e.g. the I/O thread) goes on.
void runInBackground(const std::string& command) {
  std::lock_guard guard(backgroundLock);
  backgroundThreads.emplace_back([command] { runCommand(command); });
}

[[maybe_unused]] void joinBackgroundThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard guard(backgroundLock);
    threads.swap(backgroundThreads);
  }
  for (auto& thread : threads) thread.join();
}

void runCommand(const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb == "background") {
    std::string rest;
    std::getline(words, rest);
    runInBackground(rest);
    return;
  }
  const Arguments a = parseArguments(words);
  if (verb == "post") {
    postEvents(a);
  } else if (verb == "decref") {
    std::vector<void*> giveBack;
    {
      std::lock_guard guard(keptLock);
      giveBack.swap(kept);
    }
    int32_t last = 0;
    for (void* payload : giveBack) {
      EventParms e = makeEventRecord(DVR_TYPE_DECREF, 0);
      e.source = argument(a, "source", numberSetting("id"));
      e.payload = payload;
      last = corePost(&e);
    }
    journal("decref count=" + std::to_string(giveBack.size()) + " result=" + std::to_string(last));
  } else if (verb == "query") {
    EventParms e = makeEventRecord(argument(a, "type", DVR_TYPE_LOG), DVR_FLAG_QUERY);
    e.source = argument(a, "source", numberSetting("id"));
    e.requestId = argument(a, "req");
    journal("query result=" + std::to_string(corePost(&e)));
  } else if (verb == "journal") {
    journal("note " + (a.contains("text") ? a.at("text") : std::string()));
  } else if (verb == "grow") {
    growResident(argument(a, "mb"));
  } else if (verb == "shrink") {
    shrinkResident();
  } else if (verb == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(argument(a, "ms")));
  } else if (verb == "waitfor") {
    // "waitfor [ms=N] text=...": waits until a journal line contains the
    // text (10 s at most), so plug-ins can wait for each other's calls.
    // "waitfor [ms=N] file=NAME": until the file exists (the test's signal).
    const std::string text = a.contains("text") ? a.at("text") : std::string();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(argument(a, "ms", 10000));
    bool found = false;
    while (a.contains("file") && !found && std::chrono::steady_clock::now() < deadline) {
      found = ::access(a.at("file").c_str(), F_OK) == 0;
      if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (a.contains("file")) {
      journal("waited found=" + std::string(found ? "1" : "0") + " file=" + a.at("file"));
      return;
    }
    while (!found && std::chrono::steady_clock::now() < deadline) {
      const char* path = std::getenv("DVRTEST_JOURNAL");
      std::ifstream lines(path ? path : "journal.txt");
      std::string journalLine;
      while (!found && std::getline(lines, journalLine)) found = journalLine.find(text) != std::string::npos;
      if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    journal("waited found=" + std::string(found ? "1" : "0") + " text=" + text);
  } else if (!verb.empty()) {
    journal("unknown-command " + verb);
  }
}

// Commands separated by ';' (from the configuration) or by line feeds.
void runCommands(const std::string& script) {
  std::string command;
  for (char c : script + "\n") {
    if (c == ';' || c == '\n') {
      runCommand(command);
      command.clear();
    } else {
      command += c;
    }
  }
}

[[maybe_unused]] long threadId() { return static_cast<long>(syscall(SYS_gettid)); }

// A search call (OnSearch, or Read for a search) on its search thread: the
// onSearch script, or with searchRunsPayload=1 the request's payload as the
// script, then with searchUntilClosed=1 a wait for Close.
[[maybe_unused]] void serveSearch(uint32_t requestId, const void* payload, uint32_t length) {
  currentRequest = requestId;
  if (settings.contains("onSearch")) runCommands(setting("onSearch"));
  if (numberSetting("searchRunsPayload") && payload) {
    runCommands(std::string(static_cast<const char*>(payload), length));
  }
  if (numberSetting("searchUntilClosed")) {
    std::unique_lock wait(closeLock);
    closeCond.wait(wait, [] { return closed; });
    journal("search-end");
  }
  journal("search-return req=" + hexWord(requestId) + " tid=" + std::to_string(threadId()));
  currentRequest = 0;
}

[[maybe_unused]] void loadSettings() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&loadSettings), &info);
  const std::string path = info.dli_fname ? info.dli_fname : "";
  ownFileName = path.substr(path.find_last_of('/') + 1);
  std::ifstream conf(path + ".conf");
  std::string line;
  while (std::getline(conf, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
  }
}

[[maybe_unused]] void handlePacket(const void* packet, uint32_t length) {
  std::string text;
  uint32_t kind = 0;
  if (length >= 16) {
    std::memcpy(&kind, static_cast<const char*>(packet) + 8, sizeof kind);
    text.assign(static_cast<const char*>(packet) + 16, length - 16);
  }
  journal("ipc length=" + std::to_string(length) + " kind=" + std::to_string(kind) + " thread=" + thread() +
          " payload=" + preview(static_cast<const char*>(packet) + (length >= 16 ? 16 : 0),
                                length >= 16 ? length - 16 : 0));
  // Kind 100: the payload is a command script for this plug-in.
  if (kind == 100) runCommands(text);
}

}  // namespace

extern "C" {

#ifndef TP_NO_LOAD
DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  loadSettings();
  corePost = in->post;
  journal("Load size=" + std::to_string(in->size) + " version=" + std::to_string(in->version) +
          " outsize=" + std::to_string(out->size) + " outversion=" + std::to_string(out->version) +
          " idword=" + hexWord(out->idWord) + " identity=" +
          std::string(in->deviceIdentity ? in->deviceIdentity : "", in->deviceIdentityLength) +
          " post=" + (in->post ? "set" : "null") + " thread=" + thread());
  dumpRecords("Load", in, sizeof *in, out, sizeof *out);
  if (numberSetting("recordStatus")) recordStatus("load");
  if (settings.contains("id")) out->idWord = setting("id") == "none" ? DVR_SOURCE_CORE : numberSetting("id");
  out->videoInterest = numberSetting("video");
  out->audioInterest = numberSetting("audio");
  out->alarmInterest = numberSetting("alarm");
  out->ptzInterest = numberSetting("ptz");
  out->serialInterest = numberSetting("serial");
  out->closeRank = numberSetting("closeRank");
  out->logInterest = numberSetting("log");
  out->posInterest = numberSetting("pos");
  out->analyticInterest = numberSetting("analytic");
  out->wantsWorkerThread = static_cast<uint8_t>(numberSetting("worker"));
  out->wantsAsyncReader = static_cast<uint8_t>(numberSetting("reader"));
  out->acceptsWrite = static_cast<uint8_t>(numberSetting("acceptsWrite"));
  if (settings.contains("declSize")) out->size = numberSetting("declSize");
  if (settings.contains("declVersion")) out->version = numberSetting("declVersion");
  if (settings.contains("onLoad")) runCommands(setting("onLoad"));
  if (setting("loadFault") == "crash") {
    volatile int* nowhere = reinterpret_cast<int*>(static_cast<uintptr_t>(numberSetting("nowhere")));
    *nowhere = 1;
  }
  while (setting("loadFault") == "hang") std::this_thread::sleep_for(std::chrono::seconds(1));
  return static_cast<int32_t>(numberSetting("loadResult"));
}
#endif

#ifndef TP_NO_UNLOAD
DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  journal("Unload size=" + std::to_string(in->size) + " outsize=" + std::to_string(out->size) + " thread=" + thread() +
          " version=" + std::to_string(in->version) + " outversion=" + std::to_string(out->version));
  dumpRecords("Unload", in, sizeof *in, out, sizeof *out);
  if (settings.contains("onUnload")) runCommands(setting("onUnload"));
}
#endif

#ifndef TP_NO_OPEN
DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  journal("Open size=" + std::to_string(in->size) + " outsize=" + std::to_string(out->size) + " thread=" + thread() +
          " version=" + std::to_string(in->version) + " outversion=" + std::to_string(out->version));
  dumpRecords("Open", in, sizeof *in, out, sizeof *out);
  if (numberSetting("recordStatus")) recordStatus("open");
  if (settings.contains("onOpen")) runCommands(setting("onOpen"));
}

#ifndef TP_NO_CLOSE
DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  journal("Close size=" + std::to_string(in->size) + " outsize=" + std::to_string(out->size) + " thread=" + thread() +
          " version=" + std::to_string(in->version) + " outversion=" + std::to_string(out->version));
  dumpRecords("Close", in, sizeof *in, out, sizeof *out);
  if (settings.contains("onClose")) runCommands(setting("onClose"));
  joinBackgroundThreads();
  if (numberSetting("sequence")) journalSequences();
  {
    std::lock_guard guard(closeLock);
    closed = true;
  }
  closeCond.notify_all();
}
#endif
#endif

#ifndef TP_NO_ONEVENT
DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* e) {
  if (numberSetting("quiet") == 0) journal("OnEvent " + describe(*e));
  checkSequence(*e);
  if (numberSetting("recordStatus")) recordStatus("event");
  sleepIfAsked("eventDelayMs");
  const bool scripted = !settings.contains("onEventType") || e->type == numberSetting("onEventType");
  if (settings.contains("onEvent") && scripted) runCommands(setting("onEvent"));
  if (numberSetting("decrefInCall") && e->payload) {
    // Gives the reference back before answering, as a plug-in whose own
    // thread is done with the payload before the call has returned.
    EventParms decref{};
    decref.size = sizeof decref;
    decref.version = DVR_EVENT_VERSION;
    decref.type = DVR_TYPE_DECREF;
    decref.source = numberSetting("id");
    decref.payload = e->payload;
    journal("decref-in-call result=" + std::to_string(corePost(&decref)));
  }
  if (settings.contains("keepType") && e->type != numberSetting("keepType")) return 0;
  return keepAnswer(e->payload);
}
#endif

#ifdef TP_WRITE
DVR_PLUGIN_EXPORT void Write(const WriteIn* in, WriteOut* out) {
  EventParms e{};
  std::memcpy(&e.length, &in->length, sizeof(EventParms) - offsetof(EventParms, length));
  e.size = in->size;
  journal("Write outsize=" + std::to_string(out->size) + " " + describe(e));
  dumpRecords("Write", in, sizeof *in, out, sizeof *out);
  out->keep = static_cast<uint32_t>(keepAnswer(in->payload));
}
#endif

#ifdef TP_IOCTL
DVR_PLUGIN_EXPORT void IOCTL(const IoctlIn* in, IoctlOut* out) {
  journal("IOCTL code=" + std::to_string(in->code) + " size=" + std::to_string(in->size) +
          " outcode=" + std::to_string(out->code) + " length=" + std::to_string(in->argumentLength) +
          " thread=" + thread() + " version=" + std::to_string(in->version) +
          " outversion=" + std::to_string(out->version));
  dumpRecords("IOCTL", in, sizeof *in, out, sizeof *out);
  if (in->code == DVR_IOCTL_WORKER) {
    if (numberSetting("recordStatus")) recordStatus("worker");
    if (settings.contains("onWorker")) runCommands(setting("onWorker"));
    std::unique_lock wait(closeLock);
    closeCond.wait(wait, [] { return closed; });
    journal("worker-end");
  } else if (in->code == DVR_IOCTL_CONFIG) {
    out->keep = static_cast<uint32_t>(keepAnswer(in->argument));
  } else if (in->code == DVR_IOCTL_IPC) {
    handlePacket(in->argument, in->argumentLength);
  }
}
#endif

#ifdef TP_READ
DVR_PLUGIN_EXPORT void Read(const ReadIn* in, void* unused) {
  journal("Read size=" + std::to_string(in->size) + " mode=" + std::to_string(in->mode) +
          " length=" + std::to_string(in->length) + " payload=" + preview(in->payload, in->length) +
          " req=" + hexWord(in->requestId) + " second=" + (unused ? "set" : "null") + " thread=" + thread() +
          " version=" + std::to_string(in->version));
  dumpRecords("Read", in, sizeof *in, nullptr, 0);
  if (in->requestId != 0) {
    serveSearch(in->requestId, in->payload, in->length);
  } else {
    std::unique_lock wait(closeLock);
    closeCond.wait(wait, [] { return closed; });
    journal("reader-end");
  }
}
#endif

#ifdef TP_ONSEARCH
DVR_PLUGIN_EXPORT void OnSearch(const EventParms* request) {
  journal("OnSearch tid=" + std::to_string(threadId()) + " " + describe(*request));
  serveSearch(request->requestId, request->payload, request->length);
}
#endif

#ifndef TP_NO_ONIPC
DVR_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint32_t length) { handlePacket(packet, length); }
#endif

}  // extern "C"
