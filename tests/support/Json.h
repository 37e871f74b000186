// A strict little JSON reader for tests that check a tool's --json output:
// it refuses anything that is not valid JSON, so a test also proves that.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dvrtest {

class Json {
 public:
  using Array = std::vector<Json>;
  using Object = std::map<std::string, Json>;

  // Throws std::runtime_error with the offset of the first fault.
  static Json parse(std::string_view text);

  bool isNull() const { return std::holds_alternative<std::monostate>(value); }
  bool boolean() const { return std::get<bool>(value); }
  double number() const { return std::get<double>(value); }
  const std::string& string() const { return std::get<std::string>(value); }
  const Array& array() const { return *std::get<std::shared_ptr<Array>>(value); }
  const Object& object() const { return *std::get<std::shared_ptr<Object>>(value); }
  bool has(const std::string& key) const { return object().count(key) != 0; }
  // A member of an object; throws std::out_of_range when it is missing.
  const Json& operator[](const std::string& key) const { return object().at(key); }
  const Json& operator[](size_t index) const { return array().at(index); }

 private:
  friend class JsonReader;
  std::variant<std::monostate, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> value;
};

}  // namespace dvrtest
