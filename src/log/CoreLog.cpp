#include "log/CoreLog.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/mman.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "core/DvrCore.h"
#include "events/EventModel.h"

namespace km::core {

bool coreLogPasses(int32_t level) noexcept {
  DvrCore* core = theCore;
  return core && core->logThreshold(0) <= level;
}

void postCoreLogLine(int32_t level, std::string_view text) noexcept {
  DvrCore* core = theCore;
  if (!core || text.empty()) return;
  EventParms e = makeCoreEvent(DVR_TYPE_LOG, DVR_FLAG_LIVE | DVR_FLAG_TEXT, static_cast<uint32_t>(level),
                               text.data(), static_cast<uint32_t>(text.size()));
  try {
    core->route(e);
  } catch (...) {
    // Logging never brings its caller down.
  }
}

namespace {

// The numeric punctuation of a named locale, read from its numeric category
// alone: "{:L}" reads nothing else, and a whole named std::locale would also
// load the character, time, money and message tables of the locale (several
// hundred KiB resident for the life of the process).
class NumericPunctuation final : public std::numpunct<char> {
 public:
  NumericPunctuation(char decimalPoint, char thousandsSeparator, std::string grouping)
      : decimalPoint(decimalPoint), thousandsSeparator(thousandsSeparator), groups(std::move(grouping)) {}

 protected:
  char do_decimal_point() const override { return decimalPoint; }
  char do_thousands_sep() const override { return thousandsSeparator; }
  std::string do_grouping() const override { return groups; }

 private:
  char decimalPoint;
  char thousandsSeparator;
  std::string groups;
};

struct CLocaleFree {
  void operator()(locale_t locale) const noexcept { freelocale(locale); }
};
using CLocale = std::unique_ptr<std::remove_pointer_t<locale_t>, CLocaleFree>;

// The C library keeps the locale archive mapped for the life of the process
// once it has read a locale from it, with the pages of the lookup (and those
// the kernel mapped around them) resident: several hundred KiB of a file that
// nothing reads again. They are given back; should anything read the archive
// later, its pages come back from the file. `inside` is an address of the
// locale's data: only a read-only mapping of a file named "locale-archive"
// that holds it is released.
void releaseLocaleArchivePages(const void* inside) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps) return;
  const auto address = reinterpret_cast<uintptr_t>(inside);
  char line[512];
  while (std::fgets(line, sizeof line, maps)) {
    uintptr_t start = 0;
    uintptr_t end = 0;
    char permissions[5] = {};
    if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &start, &end, permissions) != 3) continue;
    if (address < start || address >= end) continue;
    const char* name = std::strrchr(line, '/');
    if (name && std::strcmp(name, "/locale-archive\n") == 0 && std::strcmp(permissions, "r--p") == 0) {
      madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
    break;
  }
  std::fclose(maps);
}

// The classic locale with the numeric punctuation of `name`: the first byte of
// the decimal point, and no grouping unless the separator is a single byte.
std::locale numericLocale(const char* name) {
  const CLocale numeric(newlocale(LC_NUMERIC_MASK, name, nullptr));
  if (!numeric) return std::locale::classic();
  const char decimalPoint = *nl_langinfo_l(DECIMAL_POINT, numeric.get());
  const char* separator = nl_langinfo_l(THOUSANDS_SEP, numeric.get());
  const bool grouped = separator[0] != '\0' && separator[1] == '\0';
  std::string grouping = grouped ? nl_langinfo_l(GROUPING, numeric.get()) : "";
  auto facet = std::make_unique<NumericPunctuation>(decimalPoint, grouped ? separator[0] : ',', std::move(grouping));
  releaseLocaleArchivePages(separator);
  // The locale owns its facets by reference count.
  return std::locale(std::locale::classic(), facet.release());
}

}  // namespace

const std::locale& logLocale() {
  static const std::locale chosen = numericLocale("en_US.UTF-8");
  return chosen;
}

namespace detail {
namespace {
thread_local std::string threadBuffer;
thread_local bool threadBufferInUse = false;
}  // namespace

MessageBuffer::MessageBuffer() {
  if (threadBufferInUse) {
    buffer = &nested;
  } else {
    threadBufferInUse = true;
    if (threadBuffer.capacity() < 2048) threadBuffer.reserve(2048);
    threadBuffer.clear();
    buffer = &threadBuffer;
  }
}

MessageBuffer::~MessageBuffer() {
  if (buffer == &threadBuffer) threadBufferInUse = false;
}
}  // namespace detail

}  // namespace km::core
