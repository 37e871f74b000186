// Run, Stop and the tick.
#include <csignal>
#include <future>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "core/ClockCheck.h"
#include "core/DvrCore.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

void DvrCore::Run() {
  boost::asio::signal_set signals(io);
  boost::system::error_code ignored;
  signals.add(SIGINT, ignored);
  signals.add(SIGTERM, ignored);
  signals.add(SIGQUIT, ignored);
  // Not re-armed: only the first signal has an effect.
  signals.async_wait([this](const boost::system::error_code&, int) { Stop(); });

  loadConfig();
  if (throttlingEnabled) memoryAlarm();

  // Keeps io.run() going after the last handler until the explicit stop below.
  auto work = boost::asio::make_work_guard(io);
  std::jthread ioThread([this] { io.run(); });
  ioThreadRunning = true;

  boost::asio::post(io, [this] { armTick(); });
  boost::asio::post(io, [this] { startReceive(); });

  loadStep();
  openStep();
  handIpcRoutes(plugins);
  publishStatus();
  dispatchLoop();
  closeStep();
  unloadStep();

  io.stop();
  ioThread.request_stop();
  ioThread.join();
  ioThreadRunning = false;
}

void DvrCore::Stop() {
  // A sequentially consistent store: a full barrier on both sides.
  stopRequested.store(true, std::memory_order_seq_cst);
  // Search threads waiting for a receiver to give an answer back stop waiting.
  threadWaiters.stopAnswering();
  if (io.get_executor().running_in_this_thread()) {
    tickTimer.cancel();
  } else {
    boost::asio::post(io, [this] { tickTimer.cancel(); });
  }
  {
    // Pairs with the dispatch loop's check-then-wait, so the wake-up is not lost.
    std::lock_guard guard(queueMutex);
  }
  queueCond.notify_one();
}

void DvrCore::handIpcRoutes(PluginList routes) {
  if (!ioThreadRunning) {
    installIpcRoutes(std::move(routes));
    return;
  }
  std::promise<void> taken;
  std::future<void> done = taken.get_future();
  boost::asio::post(io, [this, &routes, &taken] {
    installIpcRoutes(std::move(routes));
    taken.set_value();
  });
  done.wait();
}

void DvrCore::installIpcRoutes(PluginList routes) {
  ipcRoutes = std::move(routes);
  ipcRoutesReady = true;
  if (ipcReceivePaused) {
    ipcReceivePaused = false;
    if (processReceivedPackets()) startReceive();
  }
}

void DvrCore::armTick() {
  tickTimer.async_wait([this](const boost::system::error_code& status) { onTick(status); });
}

void DvrCore::onTick(const boost::system::error_code& status) {
  using namespace std::chrono;
  if (status) return;
  if (!tickStarted) setUpMemoryLimits();

  const auto steadyNow = steady_clock::now();
  const auto systemNow = system_clock::now();
  if (!tickStarted) {
    lastCheckSteady = steadyNow;
    lastCheckSystem = systemNow;
    tickStarted = true;
  }
  const int64_t elapsed = duration_cast<nanoseconds>(steadyNow - lastCheckSteady).count();
  const int64_t systemElapsed = duration_cast<nanoseconds>(systemNow - lastCheckSystem).count();
  const ClockCheck check = checkClocks(elapsed, systemElapsed);
  if (check.logMemoryLimits) logMemoryLimits();
  if (check.due) {
    if (check.wallClockChanged) coreLog(50, "system time changed by {:.2f}seconds", check.wallClockSeconds);
    lastCheckSystem = systemNow;
    takeMemoryReading();
    lastCheckSteady = steadyNow;
  }

  const auto now = steady_clock::now();
  const auto next = now > steady_clock::time_point::max() - milliseconds(250) ? steady_clock::time_point::max()
                                                                               : now + milliseconds(250);
  tickTimer.expires_at(next);
  armTick();
}

}  // namespace km::core
