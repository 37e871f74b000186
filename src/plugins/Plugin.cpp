#include "plugins/Plugin.h"

#include <dlfcn.h>

#include <chrono>
#include <cstring>

#include <fmt/format.h>

namespace km::core {

namespace {

int64_t nanosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

template <typename Fn>
Fn lookUp(const LibraryHandle& library, const char* name) noexcept {
  return reinterpret_cast<Fn>(library.symbol(name));
}

// A zero-filled record with its size and version.
template <typename Record>
Record makeRecord(uint32_t version) noexcept {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof(Record);
  record.version = version;
  return record;
}

IoctlIn makeIoctlIn(uint32_t code, uint32_t length, const void* argument) noexcept {
  IoctlIn in = makeRecord<IoctlIn>(DVR_IOCTL_VERSION);
  in.code = code;
  in.argumentLength = length;
  in.argument = argument;
  return in;
}

IoctlOut makeIoctlOut(uint32_t code) noexcept {
  IoctlOut out = makeRecord<IoctlOut>(DVR_IOCTL_VERSION);
  out.code = code;
  return out;
}

ReadIn makeReadIn(uint32_t length, const void* payload, uint32_t requestId) noexcept {
  ReadIn in = makeRecord<ReadIn>(DVR_READ_VERSION);
  in.mode = DVR_READ_MODE;
  in.length = length;
  in.payload = payload;
  in.requestId = requestId;
  return in;
}

}  // namespace

void* LibraryHandle::symbol(const char* name) const noexcept { return handle ? dlsym(handle, name) : nullptr; }

void LibraryHandle::reset() noexcept {
  if (handle) dlclose(handle);
  handle = nullptr;
}

bool declaresStoredEvents(const LoadOut& d) noexcept {
  for (const uint32_t interest :
       {d.videoInterest, d.audioInterest, d.alarmInterest, d.logInterest, d.posInterest, d.analyticInterest}) {
    if (interest & DVR_INTEREST_STORED) return true;
  }
  return false;
}

bool servesSearches(const LoadOut& declaration, bool exportsOnSearch, bool exportsRead) noexcept {
  return exportsOnSearch || (exportsRead && declaration.wantsAsyncReader && declaresStoredEvents(declaration));
}

std::string_view displayNameOf(std::string_view fileName) noexcept {
  return fileName.substr(0, fileName.find('.'));
}

Plugin::Plugin(Token) noexcept { declaration = makeRecord<LoadOut>(DVR_LOAD_OUT_VERSION); }

Plugin::~Plugin() {
  closePlugin();
  unloadPlugin();
}

std::string_view Plugin::displayName() const noexcept { return displayNameOf(fileName); }

PluginPtr Plugin::loadPlugin(const std::filesystem::path& path, PostFn post, std::string_view deviceIdentity) {
  auto plugin = std::make_shared<Plugin>(Token{});
  plugin->fileName = path.filename().string();
  dlerror();
  plugin->handle = LibraryHandle(dlopen(path.c_str(), RTLD_NOW));
  if (!plugin->handle) {
    const char* why = dlerror();
    plugin->loadCode = kLoadOpenFailed;
    plugin->errorText = why ? why : "unknown";
    return plugin;
  }

  plugin->Load = lookUp<LoadFn>(plugin->handle, DVR_ENTRY_LOAD);
  plugin->Unload = lookUp<UnloadFn>(plugin->handle, DVR_ENTRY_UNLOAD);
  if (!plugin->Load || !plugin->Unload) {
    plugin->loadCode = kLoadMissingEntryPoints;
    plugin->errorText = "missing Load()/Unload()";
    plugin->forgetEntryPoints();
    plugin->handle.reset();
    return plugin;
  }

  LoadIn in = makeRecord<LoadIn>(DVR_LOAD_IN_VERSION);
  in.post = post;
  in.deviceIdentity = deviceIdentity.data();
  in.deviceIdentityLength = static_cast<uint32_t>(deviceIdentity.size());
  const auto start = std::chrono::steady_clock::now();
  plugin->loadCode = plugin->Load(&in, &plugin->declaration);
  plugin->loadTime = nanosecondsSince(start);

  if (plugin->loadCode == 0) {
    plugin->OnIpcResult = lookUp<OnIpcResultFn>(plugin->handle, DVR_ENTRY_ON_IPC_RESULT);
    plugin->IOCTL = lookUp<IoctlFn>(plugin->handle, DVR_ENTRY_IOCTL);
    return plugin;
  }
  // Unload is not called for a library whose Load failed.
  plugin->errorText = fmt::format("load code {}", plugin->loadCode);
  plugin->forgetEntryPoints();
  plugin->handle.reset();
  return plugin;
}

PluginPtr Plugin::standIn(std::string fileName, const LoadOut& declaration, int32_t loadCode, std::string errorText) {
  auto plugin = std::make_shared<Plugin>(Token{});
  plugin->fileName = std::move(fileName);
  plugin->declaration = declaration;
  plugin->loadCode = loadCode;
  plugin->errorText = std::move(errorText);
  return plugin;
}

void Plugin::openPlugin() {
  if (Open) return;
  OpenFn open = lookUp<OpenFn>(handle, DVR_ENTRY_OPEN);
  CloseFn close = lookUp<CloseFn>(handle, DVR_ENTRY_CLOSE);
  if (!open || !close) {
    openCode = kOpenMissingEntryPoints;
    errorText = "missing Open()/Close()";
    return;
  }
  Open = open;
  Close = close;
  OnEvent = lookUp<OnEventFn>(handle, DVR_ENTRY_ON_EVENT);
  OnSearch = lookUp<OnSearchFn>(handle, DVR_ENTRY_ON_SEARCH);
  Read = lookUp<ReadFn>(handle, DVR_ENTRY_READ);
  Write = lookUp<WriteFn>(handle, DVR_ENTRY_WRITE);

  const OpenIn in = makeRecord<OpenIn>(DVR_OPEN_VERSION);
  OpenOut out = makeRecord<OpenOut>(DVR_OPEN_VERSION);
  const auto start = std::chrono::steady_clock::now();
  Open(&in, &out);
  openTime = nanosecondsSince(start);
  StartAsyncReaderIf();
}

void Plugin::StartAsyncReaderIf() {
  if (readerStarted || !Read || !declaration.wantsAsyncReader) return;
  readerStarted = true;
  readerThread = std::thread([read = Read] {
    const ReadIn in = makeReadIn(0, nullptr, 0);
    read(&in, nullptr);
  });
}

void Plugin::ProvideWorkerThreadIf() {
  if (workerStarted || !IOCTL || !declaration.wantsWorkerThread) return;
  workerStarted = true;
  workerThread = std::thread([ioctl = IOCTL] {
    const IoctlIn in = makeIoctlIn(DVR_IOCTL_WORKER, 0, nullptr);
    IoctlOut out = makeIoctlOut(DVR_IOCTL_WORKER);
    ioctl(&in, &out);
  });
}

bool Plugin::deliverEvent(const EventParms& e) {
  GatePass pass(eventGate);
  return callEventEntry(e, static_cast<bool>(pass));
}

bool Plugin::deliverFromDispatch(const EventParms& e) { return callEventEntry(e, !eventGate.isClosed()); }

bool Plugin::callEventEntry(const EventParms& e, bool open) {
  // A closed gate stands for the OnEvent and Write that closePlugin forgets;
  // IOCTL stays until the unload, so config events still reach it.
  if (open && OnEvent) return OnEvent(&e) != 0;
  if (e.type == DVR_TYPE_CONFIG) {
    if (!IOCTL) return false;
    const IoctlIn in = makeIoctlIn(DVR_IOCTL_CONFIG, e.length, e.payload);
    IoctlOut out = makeIoctlOut(DVR_IOCTL_CONFIG);
    IOCTL(&in, &out);
    return out.keep != 0;
  }
  if (open && Write && declaration.acceptsWrite) {
    WriteIn in = makeRecord<WriteIn>(DVR_WRITE_VERSION);
    std::memcpy(&in.length, &e.length, sizeof(EventParms) - offsetof(EventParms, length));
    WriteOut out = makeRecord<WriteOut>(DVR_WRITE_VERSION);
    Write(&in, &out);
    return out.keep != 0;
  }
  return false;
}

void Plugin::deliverSearch(const EventParms& request) {
  GatePass pass(searchGate);
  if (!pass) return;
  if (OnSearch) {
    OnSearch(&request);
  } else if (Read && declaration.wantsAsyncReader) {
    const ReadIn in = makeReadIn(request.length, request.payload, request.requestId);
    Read(&in, nullptr);
  }
}

void Plugin::deliverIpcResult(uint32_t length, const void* packet) {
  if (OnIpcResult) {
    OnIpcResult(packet, length);
  } else if (IOCTL) {
    const IoctlIn in = makeIoctlIn(DVR_IOCTL_IPC, length, packet);
    IoctlOut out = makeIoctlOut(DVR_IOCTL_IPC);
    IOCTL(&in, &out);
  }
}

void Plugin::closePlugin() {
  // Calls from threads that log while the core stops must be out first.
  eventGate.closeAndDrain();
  searchGate.close();
  if (Close) {
    const CloseIn in = makeRecord<CloseIn>(DVR_CLOSE_VERSION);
    CloseOut out = makeRecord<CloseOut>(DVR_CLOSE_VERSION);
    Close(&in, &out);
  }
  // Searches return once the plug-in is closed; none may still be running
  // when the entry points go and the library is unloaded.
  searchGate.drain();
  Open = nullptr;
  Close = nullptr;
  OnEvent = nullptr;
  OnSearch = nullptr;
  Read = nullptr;
  Write = nullptr;
}

void Plugin::unloadPlugin() {
  joinThreads();
  if (Unload) {
    const UnloadIn in = makeRecord<UnloadIn>(DVR_UNLOAD_IN_VERSION);
    UnloadOut out = makeRecord<UnloadOut>(DVR_UNLOAD_OUT_VERSION);
    Unload(&in, &out);
  }
  forgetEntryPoints();
  handle.reset();
}

void Plugin::forgetEntryPoints() noexcept {
  Load = nullptr;
  Unload = nullptr;
  Open = nullptr;
  Close = nullptr;
  OnIpcResult = nullptr;
  OnEvent = nullptr;
  OnSearch = nullptr;
  Read = nullptr;
  Write = nullptr;
  IOCTL = nullptr;
}

void Plugin::joinThreads() noexcept {
  for (std::thread* thread : {&readerThread, &workerThread}) {
    if (!thread->joinable()) continue;
    // The last owner can be the plug-in's own thread; it cannot wait for itself.
    if (thread->get_id() == std::this_thread::get_id()) {
      thread->detach();
    } else {
      thread->join();
    }
  }
}

}  // namespace km::core
