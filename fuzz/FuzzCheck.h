// What the fuzz targets share: a property check that fails the run (libFuzzer
// keeps the input as a crash), and the input cut into parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

// Aborts with the failed condition: a finding, like a sanitizer report.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "property violated: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace fuzzing {

// The parts of an input separated by kPartSeparator (a line of its own in
// the seed files, so seeds stay readable).
inline constexpr std::string_view kPartSeparator = "\n@@@@\n";

inline std::vector<std::string_view> splitParts(std::string_view input) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = input.find(kPartSeparator);
    parts.push_back(input.substr(0, at));
    if (at == std::string_view::npos) return parts;
    input.remove_prefix(at + kPartSeparator.size());
  }
}

}  // namespace fuzzing
