// Lets calls into a plug-in from several threads be fenced off before the
// plug-in is closed, without holding any lock during the calls themselves.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace km::core {

class CallGate {
 public:
  // True when the call may go ahead; pair with leave().
  bool enter() noexcept {
    active.fetch_add(1, std::memory_order_seq_cst);
    if (closed.load(std::memory_order_seq_cst)) {
      leave();
      return false;
    }
    return true;
  }
  void leave() noexcept { active.fetch_sub(1, std::memory_order_seq_cst); }

  // For the thread that closes the gate itself: no other thread's view needed.
  bool isClosed() const noexcept { return closed.load(std::memory_order_relaxed); }

  // Refuses new calls from now on.
  void close() noexcept { closed.store(true, std::memory_order_seq_cst); }

  // Waits until the calls in progress have returned.
  void drain() noexcept {
    for (int spins = 0; active.load(std::memory_order_seq_cst) > 0; ++spins) {
      if (spins < 100) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }

  void closeAndDrain() noexcept {
    close();
    drain();
  }

 private:
  std::atomic<int> active{0};
  std::atomic<bool> closed{false};
};

// Scoped pass through a gate.
class GatePass {
 public:
  explicit GatePass(CallGate& gate) noexcept : gate(gate), open(gate.enter()) {}
  ~GatePass() {
    if (open) gate.leave();
  }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;
  explicit operator bool() const noexcept { return open; }

 private:
  CallGate& gate;
  bool open;
};

}  // namespace km::core
