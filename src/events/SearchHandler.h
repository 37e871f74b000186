// The search registry: cancelled request ids and the running search threads,
// so that stored answers are admitted only from the thread that runs the
// provider's search call, one payload at a time.
//
// Lock order: `lock`, then a provider's `mutex`. A poster never holds `lock`
// while it waits on a provider. Every operation is thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace km::core {

// Starts `body` on a detached thread of its own; throws when no thread can be
// started. Tests replace it to make that happen.
using SearchThreadLauncher = void (*)(std::function<void()> body);
extern SearchThreadLauncher searchThreadLauncher;

class SearchHandler {
 public:
  // One per search thread; shared with a poster that waits on it.
  struct StoredProvider {
    explicit StoredProvider(uint32_t requestId) noexcept : requestId(requestId) {}

    const uint32_t requestId;  // the request this thread answers
    std::mutex mutex;          // guards outstanding, abandoned, stopping
    std::condition_variable cond;
    const void* outstanding = nullptr;  // payload of the last admitted answer, while alive
    // A poster waiting for `outstanding` gives up when the request is
    // cancelled (abandoned, cleared with outstanding) or the core stops
    // (stopping, for good), so that a receiver that never gives a payload
    // back cannot hold the provider, and with it the shutdown, forever.
    bool abandoned = false;
    bool stopping = false;
  };

  // How many cancelled ids are remembered. Beyond it the oldest cancels are
  // forgotten first, except those of searches that are still running (or
  // about to start), which stay until their last search thread has ended.
  static constexpr std::size_t kMaxCancelled = 1024;

  // --- cancel and cancel query ---------------------------------------------

  // Adds the id to the cancelled set; a search thread of that id that waits
  // for its previous answer to be released stops waiting (its post is refused).
  void cancel(uint32_t requestId);
  bool isCancelled(uint32_t requestId);
  // A request with this id is posted: the id starts uncancelled. False when
  // the calling thread is a running search thread, whose requests start
  // nothing.
  bool beginRequest(uint32_t requestId);

  // --- search threads ------------------------------------------------------

  // Announces a search thread about to be started for the request, before it
  // exists, so that a cancel of the id is kept from then on. Pair with
  // searchThreadEnded (also when the thread could not be started).
  void searchThreadStarting(uint32_t requestId);
  // Registers / unregisters the calling thread as a running search thread.
  std::shared_ptr<StoredProvider> enterSearchThread(uint32_t requestId);
  void leaveSearchThread();
  // The last thing a search thread does with the registry, after it has let
  // go of its plug-in and its request.
  void searchThreadEnded(uint32_t requestId) noexcept;
  // Waits until every announced search thread has ended.
  void waitForSearchThreads();

  // Admission of a search answer with its new payload block (may be null):
  // 0 admitted, 1 refused (cancelled id, not posted by a search thread, or
  // given up while waiting because of a cancel or the stop). May wait until
  // the thread's previous answer payload has been freed.
  int32_t admitAnswer(uint32_t requestId, const void* block, uint32_t length);

  // A payload block is being freed: wake the search thread waiting for it.
  void blockFreed(const void* payload) noexcept;

  // The core stops: waiting posters give up now, later ones do not wait.
  void stopAnswering() noexcept;

  // Number of ids in the cancelled set (for tests).
  std::size_t cancelledCount();

 private:
  void forgetOldCancels();                // under lock
  void abandonWaiters(uint32_t requestId);  // under lock

  std::mutex lock;  // guards cancelled, cancelOrder, nextCancel, providers, activeSearches, runningThreads, stopped
  std::condition_variable threadsEnded;  // signalled when runningThreads drops to 0
  // Cancelled request ids, each with the number of its cancel, oldest first
  // in cancelOrder (entries whose number no longer matches are stale).
  std::unordered_map<uint32_t, uint64_t> cancelled;
  std::deque<std::pair<uint32_t, uint64_t>> cancelOrder;
  uint64_t nextCancel = 0;
  std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers;
  // Search threads announced and not ended, per request id, and in all.
  std::unordered_map<uint32_t, uint32_t> activeSearches;
  std::size_t runningThreads = 0;
  bool stopped = false;
};

}  // namespace km::core
