// Whole-file reading and atomic replacement through a ".pending" file.
//
// A writer fills "<name>.pending" with synchronous writes and renames it
// over the file; a reader that finds a well-formed pending file takes it as
// the newer content and finishes the rename, and discards a torn one once
// the file itself has been read. Every failure throws std::runtime_error
// with the message the caller logs. Any thread; no shared state.
#pragma once

#include <string>
#include <string_view>

namespace km::core {

// The whole file in one read. Throws "Failed to open|get size of|read
// <path> - <system error text>".
std::string readWholeFile(const std::string& path);

// The XML content of `name`, recovering an interrupted write first. Throws
// the reading errors above, the parser's message for a file that is not well
// formed, or "Failed - not xml content".
std::string readXmlFile(const std::string& name);

// Writes `text` to "<name>.pending" (O_SYNC, mode 0644, one write) and
// renames it over `name`. Throws "Failed to open|write <name>.pending -
// <system error text>"; a short write leaves the pending file behind.
void writeFileAtomically(const std::string& name, std::string_view text);

// As writeFileAtomically, for text that starts with "<?xml" and is longer
// than 4 bytes; anything else throws "Failed - not xml content" and writes
// nothing.
void writeXmlFileAtomically(const std::string& name, std::string_view text);

}  // namespace km::core
