// A stand-in for dvrcore in korvod-sim's tests: "echo_core <pipe-fd>" writes
// every record it receives back unchanged, so the test sees through
// korvod-sim's own output exactly what korvod-sim sent.
//   - A 16-byte record of kind 8 (the stop packet) ends it with exit code 0,
//     or is echoed like the rest when ECHO_CORE_IGNORE_STOP is set.
//   - It ends with exit code 0 when the daemon closes its end.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int pipe = std::atoi(argv[1]);
  const bool ignoreStop = std::getenv("ECHO_CORE_IGNORE_STOP") != nullptr;
  std::vector<unsigned char> record(65536);
  for (;;) {
    const ssize_t got = ::recv(pipe, record.data(), record.size(), 0);
    if (got <= 0) return 0;
    uint32_t kind = 0;
    if (got == 16) std::memcpy(&kind, record.data() + 8, sizeof kind);
    if (got == 16 && kind == 8 && !ignoreStop) return 0;
    if (::send(pipe, record.data(), static_cast<size_t>(got), MSG_NOSIGNAL) != got) return 1;
  }
}
