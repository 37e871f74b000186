// A small streaming JSON writer: objects, arrays, strings, numbers, booleans,
// indented two spaces. The caller keeps the nesting right.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dvrinspect {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The name of the next member of the current object.
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text);  // null when text is null
  JsonWriter& number(int64_t number);
  JsonWriter& boolean(bool flag);
  JsonWriter& null();

  const std::string& text() const { return out; }

 private:
  void beforeValue();
  void newline();

  std::string out;
  std::vector<bool> hasMembers;  // per open container
  bool afterKey = false;
};

// The text as a JSON string literal, quotes included.
std::string jsonString(std::string_view text);

}  // namespace dvrinspect
