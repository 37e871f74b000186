// dvr-inspect: what dvrcore will do with a plug-in library or an install
// tree. See helpText() in Options.cpp.
#include <cstdio>
#include <system_error>

#include <fmt/format.h>

#include "Options.h"
#include "Reports.h"

namespace fs = std::filesystem;
using namespace dvrinspect;

namespace {

enum ExitCode { kExitLoads = 0, kExitFails = 1, kExitUsage = 2 };

// Inspects one path; adds its report to the text or the JSON, returns its status.
int inspect(const fs::path& path, const Options& options, std::string& text, JsonWriter& json) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  auto problem = [&](const std::string& message) {
    fmt::print(stderr, "dvr-inspect: {}\n", message);
    if (options.json) json.beginObject().key("path").value(path.string()).key("error").value(message).endObject();
    return kExitUsage;
  };
  if (!fs::exists(status)) {
    return problem(fmt::format("{}: {}", path.string(), error ? error.message() : "no such file or directory"));
  }
  if (fs::is_directory(status)) {
    auto inspected = inspectTree(path, options.timeout);
    if (const auto* message = std::get_if<std::string>(&inspected)) return problem(*message);
    const TreeInspection& tree = std::get<TreeInspection>(inspected);
    options.json ? writeJson(json, tree) : void(text += textReport(tree));
    return tree.fails() ? kExitFails : kExitLoads;
  }
  const LibraryInspection library = inspectLibrary(path, options.timeout);
  options.json ? writeJson(json, library) : void(text += textReport(library));
  return library.fails() ? kExitFails : kExitLoads;
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = parseOptions(argc, argv);
  if (const auto* message = std::get_if<std::string>(&parsed)) {
    fmt::print(stderr, "dvr-inspect: {}\n", *message);
    return kExitUsage;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.help) {
    fmt::print("{}", helpText(argc > 0 ? fs::path(argv[0]).filename().string() : "dvr-inspect"));
    return kExitLoads;
  }

  int status = kExitLoads;
  JsonWriter json;
  const bool several = options.paths.size() > 1;
  if (options.json && several) json.beginArray();
  for (size_t i = 0; i < options.paths.size(); ++i) {
    std::string text;
    status = std::max(status, inspect(options.paths[i], options, text, json));
    // Each text report goes out as soon as it is done: a tree takes a while.
    if (!text.empty()) {
      fmt::print("{}{}", i > 0 ? "\n" : "", text);
      std::fflush(stdout);
    }
  }
  if (options.json) {
    if (several) json.endArray();
    fmt::print("{}", json.text());
  }
  return status;
}
