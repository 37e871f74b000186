#include "ProbeWire.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include <fmt/format.h>

namespace dvrinspect {

namespace {

std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string hexOf(const void* data, size_t size) {
  std::string hex;
  for (size_t i = 0; i < size; ++i) hex += fmt::format("{:02x}", static_cast<const unsigned char*>(data)[i]);
  return hex;
}

bool fromHex(std::string_view hex, void* data, size_t size) {
  if (hex.size() != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    unsigned value = 0;
    if (std::sscanf(std::string(hex.substr(2 * i, 2)).c_str(), "%2x", &value) != 1) return false;
    static_cast<unsigned char*>(data)[i] = static_cast<unsigned char>(value);
  }
  return true;
}

}  // namespace

std::string encodeStage(ProbeStage stage) { return fmt::format("stage {}\n", stageName(stage)); }

std::string encodeResult(const ProbeResult& r) {
  std::string out;
  out += fmt::format("opened {}\nexports {}\nloadCalled {}\n", r.opened ? 1 : 0, r.exports, r.loadCalled ? 1 : 0);
  out += fmt::format("declaration {}\n", hexOf(&r.declaration, sizeof r.declaration));
  out += fmt::format("loadCode {}\nloadTimeNs {}\nunloadCalled {}\n", r.loadCode, r.loadTimeNs, r.unloadCalled ? 1 : 0);
  out += fmt::format("errorText {}\n", escaped(r.errorText));
  for (const PostedEvent& e : r.posted) {
    out += fmt::format("posted {} {} {} {} {} {} {} {} {} {}\n", e.size, e.version, e.type, e.flags, e.source,
                       e.requestId, e.param, e.length, e.duringLoad ? 1 : 0, escaped(e.text));
  }
  out += fmt::format("postedUncounted {}\nend\n", r.postedUncounted);
  return out;
}

namespace {

void decodeInto(std::string_view text, ProbeReport& report) {
  ProbeResult result;
  bool inResult = false;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;  // a line cut off by the end of the child
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    const std::string number(value);
    if (key == "stage") {
      report.lastStage = std::string(value);
    } else if (key == "end") {
      if (inResult) report.result = std::move(result);
      break;
    } else {
      inResult = true;
      if (key == "opened") {
        result.opened = number == "1";
      } else if (key == "exports") {
        result.exports = static_cast<uint32_t>(std::stoul(number));
      } else if (key == "loadCalled") {
        result.loadCalled = number == "1";
      } else if (key == "declaration") {
        if (!fromHex(value, &result.declaration, sizeof result.declaration)) return;
      } else if (key == "loadCode") {
        result.loadCode = static_cast<int32_t>(std::stol(number));
      } else if (key == "loadTimeNs") {
        result.loadTimeNs = std::stoll(number);
      } else if (key == "unloadCalled") {
        result.unloadCalled = number == "1";
      } else if (key == "errorText") {
        result.errorText = unescaped(value);
      } else if (key == "posted") {
        PostedEvent e;
        unsigned duringLoad = 0;
        int consumed = 0;
        if (std::sscanf(number.c_str(), "%u %u %u %u %u %u %u %u %u%n", &e.size, &e.version, &e.type, &e.flags,
                        &e.source, &e.requestId, &e.param, &e.length, &duringLoad, &consumed) < 9) {
          return;
        }
        e.duringLoad = duringLoad != 0;
        // One space separates the numbers from the text, which may begin with spaces.
        e.text = unescaped(value.substr(std::min(value.size(), static_cast<size_t>(consumed) + 1)));
        result.posted.push_back(std::move(e));
      } else if (key == "postedUncounted") {
        result.postedUncounted = static_cast<uint32_t>(std::stoul(number));
      }
    }
  }
}

}  // namespace

ProbeReport decodeReport(std::string_view text) {
  ProbeReport report;
  try {
    decodeInto(text, report);
  } catch (const std::exception&) {
    report.result.reset();  // a number that does not parse: the result is not trustworthy
  }
  return report;
}

}  // namespace dvrinspect
