// The inspections in words for people, and as JSON for scripts.
#pragma once

#include <string>

#include "JsonWriter.h"
#include "LibraryInspection.h"
#include "TreeInspection.h"

namespace dvrinspect {

std::string textReport(const LibraryInspection& library);
std::string textReport(const TreeInspection& tree);

void writeJson(JsonWriter& json, const LibraryInspection& library);
void writeJson(JsonWriter& json, const TreeInspection& tree);

// The interest bits the core reads, in words: "live", "stored", "live, stored"
// or "-"; plus the bits it does not read.
std::string interestInWords(uint32_t word, bool storedRead);

}  // namespace dvrinspect
