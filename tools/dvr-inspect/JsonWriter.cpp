#include "JsonWriter.h"

#include <fmt/format.h>

namespace dvrinspect {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += fmt::format("\\u{:04x}", byte);
        } else {
          out += c;  // UTF-8 passes through; other high bytes too
        }
    }
  }
  return out + "\"";
}

void JsonWriter::newline() {
  out += '\n';
  out.append(2 * hasMembers.size(), ' ');
}

void JsonWriter::beforeValue() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (hasMembers.empty()) return;
  if (hasMembers.back()) out += ',';
  hasMembers.back() = true;
  newline();
}

JsonWriter& JsonWriter::beginObject() {
  beforeValue();
  out += '{';
  hasMembers.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  const bool any = hasMembers.back();
  hasMembers.pop_back();
  if (any) newline();
  out += '}';
  if (hasMembers.empty()) out += '\n';
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  beforeValue();
  out += '[';
  hasMembers.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  const bool any = hasMembers.back();
  hasMembers.pop_back();
  if (any) newline();
  out += ']';
  if (hasMembers.empty()) out += '\n';
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  out += jsonString(name) + ": ";
  afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  beforeValue();
  out += jsonString(text);
  return *this;
}

JsonWriter& JsonWriter::value(const char* text) { return text ? value(std::string_view(text)) : null(); }

JsonWriter& JsonWriter::number(int64_t number) {
  beforeValue();
  out += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool flag) {
  beforeValue();
  out += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  beforeValue();
  out += "null";
  return *this;
}

}  // namespace dvrinspect
