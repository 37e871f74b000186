// The floor of footprint_bench: a program on the libraries the core needs at
// start (fmt, the C++ runtime, threads), linked like it, that formats one line
// on a second thread and then sleeps until a signal ends it.
#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

int main() {
  std::thread([] { fmt::print("ready {}\n", 1); }).join();
  std::fflush(stdout);
  for (;;) pause();
}
