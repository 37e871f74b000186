#include "InProcessCore.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "TestPaths.h"
#include "events/PayloadBlock.h"
#include "plugin_events.hpp"

namespace dvrtest {

using km::core::EventParms;

InProcessCore::InProcessCore() : core(std::make_unique<km::core::DvrCore>(coreExecutable().string())) {
  km::core::theCore = core.get();
}

InProcessCore::~InProcessCore() {
  drainQueue();
  core.reset();
  km::core::theCore = nullptr;
}

km::core::PluginPtr InProcessCore::addPlugin(InstallTree& tree, const std::string& variant, const std::string& fileName,
                                             const std::map<std::string, std::string>& settings) {
  km::core::PluginPtr plugin = loadTestPlugin(tree, variant, fileName, settings);
  {
    std::lock_guard guard(core->logMutex);
    core->moduleNames[plugin->pluginId()] = fileName.substr(0, fileName.rfind('.'));
  }
  core->plugins.push_back(plugin);
  core->refreshSearchProviders();
  return plugin;
}

std::vector<QueuedEvent> InProcessCore::drainQueue() {
  std::vector<QueuedEvent> taken;
  std::lock_guard guard(core->queueMutex);
  for (const EventParms& record : core->eventQueue) {
    QueuedEvent event{record, {}};
    if (record.payload) event.payload.assign(static_cast<const char*>(record.payload), record.length);
    km::core::release(record.payload, 0);
    taken.push_back(std::move(event));
  }
  core->eventQueue.clear();
  return taken;
}

void InProcessCore::deliverQueued() {
  core->Stop();
  core->dispatchLoop();
}

km::core::PluginPtr loadTestPlugin(InstallTree& tree, const std::string& variant, const std::string& fileName,
                                   const std::map<std::string, std::string>& settings) {
  ::setenv("DVRTEST_JOURNAL", tree.journalPath().c_str(), 1);
  const auto path = tree.addPlugin(variant, fileName, settings);
  km::core::PluginPtr plugin = km::core::Plugin::loadPlugin(path, &km::core::post, "");
  if (!plugin->handle) throw std::runtime_error("cannot load " + path.string() + ": " + plugin->errorText);
  plugin->openPlugin();
  return plugin;
}

EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source) {
  EventParms e = km::core::makeEventRecord(type, flags);
  e.source = source;
  return e;
}

EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source, const std::string& payload) {
  EventParms e = makeEvent(type, flags, source);
  e.payload = const_cast<char*>(payload.data());
  e.length = static_cast<uint32_t>(payload.size());
  return e;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char name[] = "/tmp/dvrcore-stdout-XXXXXX";
  captureFd = ::mkstemp(name);
  if (captureFd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  savedStdout = ::dup(STDOUT_FILENO);
  ::dup2(captureFd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { take(); }

std::string StdoutCapture::take() {
  if (savedStdout < 0) return {};
  std::fflush(stdout);
  ::dup2(savedStdout, STDOUT_FILENO);
  ::close(savedStdout);
  savedStdout = -1;
  std::string captured;
  char buffer[4096];
  ssize_t n;
  ::lseek(captureFd, 0, SEEK_SET);
  while ((n = ::read(captureFd, buffer, sizeof buffer)) > 0) captured.append(buffer, static_cast<size_t>(n));
  ::close(captureFd);
  captureFd = -1;
  return captured;
}

}  // namespace dvrtest
