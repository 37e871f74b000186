#include "Json.h"

#include <cmath>
#include <cstdlib>

namespace dvrtest {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text(text) {}

  Json document() {
    Json json = value(0);
    skipSpace();
    if (at != text.size()) fail("text after the value");
    return json;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("invalid JSON at offset ") + std::to_string(at) + ": " + what);
  }
  void skipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t')) ++at;
  }
  bool take(char c) {
    skipSpace();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail("unexpected character");
  }
  bool takeWord(std::string_view word) {
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
  }

  Json value(int depth) {
    if (depth > 64) fail("nested too deeply");
    skipSpace();
    if (at >= text.size()) fail("a value is missing");
    Json json;
    const char c = text[at];
    if (c == '{') {
      ++at;
      auto object = std::make_shared<Json::Object>();
      if (!take('}')) {
        do {
          skipSpace();
          if (at >= text.size() || text[at] != '"') fail("a member name is missing");
          std::string key = string();
          expect(':');
          if (!object->emplace(key, value(depth + 1)).second) fail("a member name appears twice");
        } while (take(','));
        expect('}');
      }
      json.value = object;
    } else if (c == '[') {
      ++at;
      auto array = std::make_shared<Json::Array>();
      if (!take(']')) {
        do {
          array->push_back(value(depth + 1));
        } while (take(','));
        expect(']');
      }
      json.value = array;
    } else if (c == '"') {
      json.value = string();
    } else if (takeWord("true")) {
      json.value = true;
    } else if (takeWord("false")) {
      json.value = false;
    } else if (takeWord("null")) {
      json.value = std::monostate{};
    } else {
      json.value = number();
    }
    return json;
  }

  std::string string() {
    ++at;  // the opening quote
    std::string out;
    for (;;) {
      if (at >= text.size()) fail("unterminated string");
      const char c = text[at++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at >= text.size()) fail("unterminated escape");
      const char e = text[at++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (at + 4 > text.size()) fail("short \\u escape");
          const unsigned code = static_cast<unsigned>(std::stoul(std::string(text.substr(at, 4)), nullptr, 16));
          at += 4;
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: fail("unknown escape");
      }
    }
  }

  double number() {
    const size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    if (at >= text.size() || text[at] < '0' || text[at] > '9') fail("not a value");
    while (at < text.size() && ((text[at] >= '0' && text[at] <= '9') || text[at] == '.' || text[at] == 'e' ||
                                text[at] == 'E' || text[at] == '+' || text[at] == '-')) {
      ++at;
    }
    const std::string digits(text.substr(start, at - start));
    char* end = nullptr;
    const double parsed = std::strtod(digits.c_str(), &end);
    if (*end != '\0' || !std::isfinite(parsed)) fail("bad number");
    return parsed;
  }

  std::string_view text;
  size_t at = 0;
};

Json Json::parse(std::string_view text) { return JsonReader(text).document(); }

}  // namespace dvrtest
