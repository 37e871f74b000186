// Configuration: arbitrary bytes as core.xml, core.xml.pending and
// product.xml (read by the core's own start-up reader with its pending-file
// recovery, in a private directory), then as delta documents posted in config
// events, then the status the core publishes and writes; and the XML helpers
// themselves on every part.
//
// Input: one flags byte, then parts separated by "\n@@@@\n": core.xml,
// core.xml.pending, product.xml, then one delta document per part. Flags:
// 0x01 core.xml exists, 0x02 core.xml.pending exists, 0x04 product.xml
// exists, 0x08 it is product.xml.pending instead, 0x10 the deltas come from
// the core itself, 0x20 their type carries the modifier bit, 0x40 the daemon
// strings are taken from the core.xml and product.xml parts.
//
// Checked: the recovery leaves the newer valid file or the old one, never a
// torn one; thresholds stay within -1..100; the status event parses and
// carries the product and daemon strings exactly; the written core.xml is
// read back by the next start with the same settings and no complaint;
// integer attributes follow the documented rule; printed lengths are exact.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "config/AtomicFiles.h"
#include "config/Xml.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "events/PayloadBlock.h"
#include "plugins/Plugin.h"

using namespace km::core;
namespace fs = std::filesystem;

namespace {

fs::path workDir;

std::optional<std::string> readFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void putFile(const char* name, std::optional<std::string_view> content) {
  if (!content) {
    ::unlink(name);
    return;
  }
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(content->data(), static_cast<std::streamsize>(content->size()));
  FUZZ_CHECK(out.good());
}

// What the reader takes for a complete file: "<?xml", longer than 4 bytes,
// well formed.
bool completeXml(const std::optional<std::string>& text) {
  if (!text || text->size() <= 4 || !text->starts_with("<?xml")) return false;
  try {
    XmlDocument doc;
    doc.parse(*text);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The documented integer rule, written independently of the core's loop.
std::optional<int32_t> referenceInteger(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return std::nullopt;
  std::string_view number = text.substr(0, digits);
  while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
  if (number.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (char c : number) value = value * 10 + (c - '0');
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

void checkXmlHelpers(std::string_view part) {
  FUZZ_CHECK(parseXmlInteger(part.substr(0, 24)) == referenceInteger(part.substr(0, 24)));
  XmlDocument doc;
  try {
    doc.parse(part);
  } catch (const std::exception&) {
    return;
  }
  for (const auto form : {XmlDocument::Form::Compact, XmlDocument::Form::Indented}) {
    std::string printed;
    doc.print(printed, form);
    FUZZ_CHECK(printed.size() == doc.printedLength(form));
  }
  for (const char* path : {"kDVR/Modules/Module", "kDVR/Memory/", "kDVR", "/", "", "kDVR//Memory"}) {
    for (XmlNode node = findXmlPath(doc, path); node; node = node.nextSameNamed()) {
      (void)getIntAttribute(node, "ID");
      (void)getBoolAttribute(node, "Throttling", true);
    }
  }
}

std::array<int32_t, 256> levelsOf(const DvrCore& core) {
  std::array<int32_t, 256> levels{};
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = core.logLevels[i].load();
    FUZZ_CHECK(levels[i] >= -1 && levels[i] <= 100);
  }
  return levels;
}

// Takes the core's queue; the last status event, when there is one.
std::optional<std::string> drainQueue(DvrCore& core, bool& logged) {
  std::optional<std::string> status;
  logged = false;
  for (const EventParms& queued : core.eventQueue) {
    if (queued.type == DVR_TYPE_LOG) logged = true;
    if (queued.type == DVR_TYPE_CONFIG && queued.source == DVR_SOURCE_CORE && queued.payload) {
      status.emplace(static_cast<const char*>(queued.payload), queued.length);
    }
    release(queued.payload, 0);
  }
  core.eventQueue.clear();
  return status;
}

void checkStatusEvent(const DvrCore& core, const std::string& status) {
  XmlDocument doc;
  doc.parse(status);  // a failure escapes: the core published a broken document
  const XmlNode product = findXmlPath(doc, "kDVR/Product");
  FUZZ_CHECK(product);
  FUZZ_CHECK(product.attribute("Family") == std::optional<std::string_view>(core.productFamily));
  FUZZ_CHECK(product.attribute("Version") == std::optional<std::string_view>(core.productVersion));
  const XmlNode library = findXmlPath(doc, "kDVR/Modules/Module/Library");
  if (!core.daemonVersionCopy().empty()) {
    FUZZ_CHECK(library);
    FUZZ_CHECK(library.attribute("Filename") == std::optional<std::string_view>(core.daemonFilenameCopy()));
    FUZZ_CHECK(library.attribute("Version") == std::optional<std::string_view>(core.daemonVersionCopy()));
  }
  XmlNode module = findXmlPath(doc, "kDVR/Modules/Module");
  for (const PluginPtr& failed : core.failedPlugins) {
    module = module.nextSameNamed();
    FUZZ_CHECK(module);
    FUZZ_CHECK(module.attribute("Version") == std::optional<std::string_view>(failed->errorText));
  }
}

std::string_view untilNul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A private directory, in memory where there is one: the core writes with
  // O_SYNC, which a disk would make slow.
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "fuzz-configuration-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  workDir = pattern;
  if (::chdir(workDir.c_str()) != 0) std::abort();
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(workDir, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string_view> parts = fuzzing::splitParts(input);
  auto part = [&](std::size_t i) { return i < parts.size() ? parts[i] : std::string_view(); };
  for (std::string_view each : parts) checkXmlHelpers(each);

  putFile("core.xml", flags & 0x01 ? std::optional(part(0)) : std::nullopt);
  putFile("core.xml.pending", flags & 0x02 ? std::optional(part(1)) : std::nullopt);
  putFile("product.xml", flags & 0x04 && !(flags & 0x08) ? std::optional(part(2)) : std::nullopt);
  putFile("product.xml.pending", flags & 0x04 && flags & 0x08 ? std::optional(part(2)) : std::nullopt);
  const std::optional<std::string> coreBefore = readFile("core.xml");
  const std::optional<std::string> pendingBefore = readFile("core.xml.pending");

  // The start: read, then the recovery's outcome on disk.
  auto first = std::make_unique<DvrCore>("/fuzz/dvrcore");
  theCore = first.get();
  first->background.store(true);
  first->loadConfig();
  const std::optional<std::string> coreAfter = readFile("core.xml");
  const std::optional<std::string> pendingAfter = readFile("core.xml.pending");
  if (completeXml(pendingBefore)) {
    FUZZ_CHECK(coreAfter == pendingBefore);
    FUZZ_CHECK(!pendingAfter);
  } else {
    FUZZ_CHECK(coreAfter == coreBefore);
    FUZZ_CHECK(pendingAfter == (completeXml(coreBefore) ? std::nullopt : pendingBefore));
  }
  levelsOf(*first);

  if (flags & 0x40) {
    std::lock_guard guard(first->daemonInfoMutex);
    first->daemonFilename = std::string(untilNul(part(2)));
    first->daemonVersion = std::string(untilNul(part(0)));
  }

  // Deltas, as the dispatch loop hands them over: a copy of exactly the
  // payload's length, as in a payload block.
  for (std::size_t i = 3; i < parts.size(); ++i) {
    const std::string_view delta = parts[i];
    auto copy = std::make_unique<char[]>(delta.size() + 1);
    std::memcpy(copy.get(), delta.data(), delta.size());
    EventParms e = makeEventRecord(DVR_TYPE_CONFIG | (flags & 0x20 ? DVR_TYPE_MODIFIER : 0u), DVR_FLAG_LIVE | DVR_FLAG_XML);
    e.source = flags & 0x10 ? DVR_SOURCE_CORE : DVR_SOURCE_PLUGIN(2);
    e.payload = delta.empty() ? nullptr : copy.get();
    e.length = static_cast<uint32_t>(delta.size());
    first->onConfigEvent(e);
    levelsOf(*first);
  }

  // The status lists the loaded plug-ins, so every threshold that was set
  // belongs to one here (as it would in the field), and a plug-in that failed
  // to load carries its error text.
  for (uint32_t slot = 2; slot < 256; ++slot) {
    if (first->logLevels[slot].load() == -1) continue;
    LoadOut declaration{};
    declaration.idWord = DVR_SOURCE_PLUGIN(slot);
    first->plugins.push_back(Plugin::standIn("p" + std::to_string(slot) + ".so", declaration));
  }
  if (flags & 0x40) {
    first->failedPlugins.push_back(Plugin::standIn("failed.so", LoadOut{}));
    first->failedPlugins.back()->errorText = std::string(untilNul(part(1)));
  }

  // The status, as published at the end of the start: the event parses and
  // carries the strings exactly; the file is what the next start reads.
  first->publishStatus();
  bool logged = false;
  const std::optional<std::string> status = drainQueue(*first, logged);
  FUZZ_CHECK(status);
  checkStatusEvent(*first, *status);
  const std::optional<std::string> written = readFile("core.xml");
  FUZZ_CHECK(written && completeXml(written) && written->find("<Product") == std::string::npos);
  FUZZ_CHECK(!readFile("core.xml.pending"));

  auto next = std::make_unique<DvrCore>("/fuzz/dvrcore");
  theCore = next.get();
  next->background.store(true);
  next->loadConfig();
  FUZZ_CHECK(levelsOf(*next) == levelsOf(*first));
  FUZZ_CHECK(next->throttlingEnabled == first->throttlingEnabled);
  (void)drainQueue(*next, logged);
  FUZZ_CHECK(!logged);  // no "Config defaulted"

  next.reset();
  theCore = first.get();
  first.reset();
  theCore = nullptr;
  FUZZ_CHECK(payloadBlockCount.load() == 0);
  return 0;
}
