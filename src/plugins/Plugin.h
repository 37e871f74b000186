// One plug-in library as the core holds it: its handle, entry points,
// declaration, threads, result codes and timings. Always created by
// loadPlugin and owned through a shared pointer; the last owner's release
// closes and unloads it.
//
// Threads: loadPlugin, openPlugin, closePlugin and unloadPlugin run on the
// main thread (destruction on whichever thread drops the last owner);
// deliverEvent on the dispatch thread, and for the log plug-in also on any
// thread that logs while the core stops; deliverSearch on search threads;
// deliverIpcResult on the I/O thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "events/EventModel.h"
#include "plugin_api.h"
#include "plugins/CallGate.h"

namespace km::core {

class Plugin;
using PluginPtr = std::shared_ptr<Plugin>;

// Owns a dlopen handle.
class LibraryHandle {
 public:
  LibraryHandle() = default;
  explicit LibraryHandle(void* handle) noexcept : handle(handle) {}
  ~LibraryHandle() { reset(); }
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  LibraryHandle& operator=(LibraryHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle = std::exchange(other.handle, nullptr);
    }
    return *this;
  }

  void* get() const noexcept { return handle; }
  explicit operator bool() const noexcept { return handle != nullptr; }
  void* symbol(const char* name) const noexcept;
  // dlclose, if loaded; the handle is empty afterwards.
  void reset() noexcept;

 private:
  void* handle = nullptr;
};

// Codes kept in loadCode / openCode.
inline constexpr int32_t kLoadOpenFailed = 79;
inline constexpr int32_t kLoadMissingEntryPoints = -101;
inline constexpr int32_t kOpenMissingEntryPoints = -102;

class Plugin {
  struct Token {};

 public:
  // Opens the library, looks up Load/Unload and calls Load. Never fails:
  // success is a non-empty handle, failure leaves loadCode and errorText.
  static PluginPtr loadPlugin(const std::filesystem::path& path, PostFn post,
                              std::string_view deviceIdentity);
  // The record of a library that was loaded elsewhere (in another process),
  // or of none at all: its name, declaration and codes, without library;
  // its maker may set entry points. Lets tools run the core's ordering rules
  // on what they learned, and fuzzers route packets to stand-ins.
  static PluginPtr standIn(std::string fileName, const LoadOut& declaration, int32_t loadCode = 0,
                           std::string errorText = {});

  explicit Plugin(Token) noexcept;
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // Looks up Open/Close (-102 without them) and the event entry points,
  // calls Open, then starts the reader thread if asked for. Once only.
  void openPlugin();
  void StartAsyncReaderIf();
  void ProvideWorkerThreadIf();

  // OnEvent; else IOCTL code 2 for a config event; else Write when the
  // plug-in accepts it. True when the plug-in keeps the payload.
  bool deliverEvent(const EventParms& e);
  // The same for the dispatch loop, without passing the gate: the loop runs
  // on the thread that closes the plug-ins, and only before it does.
  bool deliverFromDispatch(const EventParms& e);
  void deliverSearch(const EventParms& request);
  void deliverIpcResult(uint32_t length, const void* packet);
  // Calls Close once, waits for search calls still running, and forgets the
  // entry points that need an open plug-in.
  void closePlugin();
  // Joins the reader then the worker thread, calls Unload, closes the library.
  void unloadPlugin();

  // Whether loadPlugin succeeded (the library then stays loaded until unloadPlugin).
  bool loadSucceeded() const noexcept { return loadCode == 0; }
  uint32_t idWord() const noexcept { return declaration.idWord; }
  bool hasId() const noexcept { return declaration.idWord != kCoreId; }
  // Bits 16-23 of the id word; 0 for a plug-in without id.
  uint32_t pluginId() const noexcept { return hasId() ? pluginIdOf(declaration.idWord) : 0; }
  // fileName up to its first ".": how messages name the plug-in.
  std::string_view displayName() const noexcept;

  // --- fields, in order ---
  LibraryHandle handle;
  LoadFn Load = nullptr;
  UnloadFn Unload = nullptr;
  OpenFn Open = nullptr;
  CloseFn Close = nullptr;
  OnIpcResultFn OnIpcResult = nullptr;
  OnEventFn OnEvent = nullptr;
  OnSearchFn OnSearch = nullptr;
  ReadFn Read = nullptr;
  WriteFn Write = nullptr;
  IoctlFn IOCTL = nullptr;
  std::thread workerThread;
  std::thread readerThread;
  LoadOut declaration{};
  std::string fileName;
  int32_t loadCode = 0;
  int32_t openCode = 0;
  int64_t loadTime = 0;  // ns in Load
  int64_t openTime = 0;  // ns in Open
  std::string errorText;

 private:
  void forgetEntryPoints() noexcept;
  bool callEventEntry(const EventParms& e, bool open);
  void joinThreads() noexcept;

  // Fences event calls from other threads off before Close.
  CallGate eventGate;
  // Fences search calls off: new ones before Close, the running ones (which
  // return once the plug-in is closed) are waited for after it, so that no
  // search thread is inside the library when it is unloaded.
  CallGate searchGate;
  bool workerStarted = false;
  bool readerStarted = false;
};

// Whether one of the interest words the core reads for searches (video,
// audio, alarm, log, POS, analytic) has the stored bit.
bool declaresStoredEvents(const LoadOut& declaration) noexcept;

// Whether the core hands search requests to a plug-in: it exports OnSearch,
// or it exports Read, asks for the reader and declares stored events.
bool servesSearches(const LoadOut& declaration, bool exportsOnSearch, bool exportsRead) noexcept;

// Display name of a file name: up to its first ".".
std::string_view displayNameOf(std::string_view fileName) noexcept;

}  // namespace km::core
