// The probe's result as lines of text, from the child that probed to the
// parent that reports: "key value" lines, strings with "\\" and "\n" escaped.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "LibraryProbe.h"

namespace dvrinspect {

// "stage <name>\n": written before each step.
std::string encodeStage(ProbeStage stage);
// The result, ending with "end\n".
std::string encodeResult(const ProbeResult& result);

// What the parent read from the child.
struct ProbeReport {
  std::string lastStage;              // the last stage announced; empty if none
  std::optional<ProbeResult> result;  // only when the whole result arrived
};
ProbeReport decodeReport(std::string_view text);

}  // namespace dvrinspect
