#include "config/Xml.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>
#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

namespace km::core {

namespace {

using Node = rapidxml::xml_node<char>;

// Deeper element nesting than any document of the core is refused before the
// parser, which descends one call per level, could exhaust the stack.
constexpr std::size_t kMaxNesting = 1000;
constexpr unsigned long kLastCodePoint = 0x10FFFF;

bool startsWith(const char* p, const char* end, std::string_view prefix) noexcept {
  return static_cast<std::size_t>(end - p) >= prefix.size() && std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

// Past the first `terminator` at or after p; `end` when there is none.
const char* skipPast(const char* p, const char* end, std::string_view terminator) noexcept {
  const char* found = std::search(p, end, terminator.begin(), terminator.end());
  return found == end ? end : found + terminator.size();
}

int digitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A numeric character reference at p ("&#..."): its value must be a
// character other than NUL inside Unicode. The parser adds its digits in an unsigned long, which wraps at 32
// bits on the camera and at 64 here; checking first, without wrapping, gives
// the same answer on both.
void checkCharacterReference(const char* p, const char* end) {
  if (!startsWith(p, end, "&#")) return;
  p += 2;
  unsigned base = 10;
  if (p < end && *p == 'x') {
    base = 16;
    ++p;
  }
  unsigned long code = 0;
  for (; p < end; ++p) {
    // The parser takes hexadecimal letters as digits in both forms.
    const int digit = digitValue(*p);
    if (digit < 0) break;
    code = code * base + static_cast<unsigned>(digit);
    if (code > kLastCodePoint) throw std::runtime_error("invalid numeric character entity");
  }
  // A reference to NUL (or without digits, which the parser reads as one)
  // is no XML character: stored, it would cut every text printed from it,
  // and a core.xml carrying it would not be read back.
  if (code == 0) throw std::runtime_error("invalid numeric character entity");
}

// Scans the markup the way the parser will, for the two things it does not
// do safely by itself: numeric references beyond Unicode and unbounded
// nesting.
void checkBeforeParsing(const char* p, const char* end) {
  std::size_t depth = 0;
  while (p < end) {
    if (*p == '&') {
      checkCharacterReference(p, end);
      ++p;
    } else if (*p != '<') {
      ++p;
    } else if (startsWith(p, end, "<!--")) {
      p = skipPast(p + 4, end, "-->");
    } else if (startsWith(p, end, "<![CDATA[")) {
      p = skipPast(p + 9, end, "]]>");
    } else if (startsWith(p, end, "<?")) {
      p = skipPast(p + 2, end, "?>");
    } else if (startsWith(p, end, "<!")) {
      int brackets = 0;
      for (p += 2; p < end && !(*p == '>' && brackets == 0); ++p) {
        if (*p == '[') ++brackets;
        if (*p == ']' && brackets > 0) --brackets;
      }
      if (p < end) ++p;
    } else if (startsWith(p, end, "</")) {
      if (depth > 0) --depth;
      p = skipPast(p + 2, end, ">");
    } else {
      // A start tag: attribute values may hold references and '>'.
      char quote = 0;
      for (++p; p < end; ++p) {
        if (quote) {
          if (*p == quote) quote = 0;
          if (*p == '&') checkCharacterReference(p, end);
        } else if (*p == '"' || *p == '\'') {
          quote = *p;
        } else if (*p == '>') {
          break;
        }
      }
      if (p < end && p[-1] != '/' && ++depth > kMaxNesting) throw std::runtime_error("elements nested too deeply");
      if (p < end) ++p;
    }
  }
}

// An output iterator that only counts.
struct CountingIterator {
  using iterator_category = std::output_iterator_tag;
  using value_type = void;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = void;
  std::size_t* count;
  CountingIterator& operator*() noexcept { return *this; }
  CountingIterator& operator=(char) noexcept {
    ++*count;
    return *this;
  }
  CountingIterator& operator++() noexcept { return *this; }
  CountingIterator operator++(int) noexcept { return *this; }
};

int printFlags(XmlDocument::Form form) noexcept {
  return form == XmlDocument::Form::Compact ? rapidxml::print_no_indenting : 0;
}

rapidxml::memory_pool<char>& poolOf(Node* node) noexcept { return *node->document(); }

// A copy of `text` owned by the node's document.
const char* keep(Node* node, std::string_view text) {
  if (text.empty()) return "";
  return poolOf(node).allocate_string(text.data(), text.size());
}

}  // namespace

// --- XmlNode -------------------------------------------------------------------

std::string_view XmlNode::name() const noexcept {
  return node ? std::string_view(node->name(), node->name_size()) : std::string_view();
}

XmlNode XmlNode::child(std::string_view childName) const noexcept {
  if (!node || childName.empty()) return {};
  return XmlNode(node->first_node(childName.data(), childName.size()));
}

XmlNode XmlNode::nextSameNamed() const noexcept {
  if (!node || node->name_size() == 0) return {};
  return XmlNode(node->next_sibling(node->name(), node->name_size()));
}

std::optional<std::string_view> XmlNode::attribute(std::string_view attributeName) const noexcept {
  if (!node || attributeName.empty()) return std::nullopt;
  const auto* found = node->first_attribute(attributeName.data(), attributeName.size());
  if (!found) return std::nullopt;
  return std::string_view(found->value(), found->value_size());
}

XmlNode XmlNode::appendChild(std::string_view childName) const {
  Node* created = poolOf(node).allocate_node(rapidxml::node_element, keep(node, childName), nullptr,
                                             childName.size());
  node->append_node(created);
  return XmlNode(created);
}

void XmlNode::appendAttribute(std::string_view attributeName, std::string_view value) const {
  auto& pool = poolOf(node);
  node->append_attribute(pool.allocate_attribute(keep(node, attributeName), keep(node, value),
                                                 attributeName.size(), value.size()));
}

void XmlNode::appendAttribute(std::string_view attributeName, int64_t value) const {
  const fmt::format_int digits(value);
  appendAttribute(attributeName, std::string_view(digits.data(), digits.size()));
}

void XmlNode::removeChild(XmlNode removed) const noexcept {
  if (node && removed.node && removed.node->parent() == node) node->remove_node(removed.node);
}

// --- XmlDocument ---------------------------------------------------------------

XmlDocument::XmlDocument() : doc(std::make_unique<rapidxml::xml_document<char>>()) {}

XmlDocument::~XmlDocument() = default;

void XmlDocument::parse(std::string_view source) {
  while (!source.empty() && source.back() == '\0') source.remove_suffix(1);
  if (source.starts_with("\xEF\xBB\xBF")) source.remove_prefix(3);
  checkBeforeParsing(source.data(), source.data() + source.size());

  doc->clear();
  text = std::make_unique<char[]>(source.size() + 1);
  std::memcpy(text.get(), source.data(), source.size());
  text[source.size()] = '\0';
  try {
    doc->parse<rapidxml::parse_validate_closing_tags>(text.get());
  } catch (const rapidxml::parse_error& error) {
    doc->clear();
    throw std::runtime_error(error.what());
  }
}

XmlNode XmlDocument::topLevel(std::string_view name) const noexcept {
  if (name.empty()) return {};
  return XmlNode(doc->first_node(name.data(), name.size()));
}

XmlNode XmlDocument::root() const noexcept {
  for (Node* node = doc->first_node(); node; node = node->next_sibling()) {
    if (node->type() == rapidxml::node_element) return XmlNode(node);
  }
  return {};
}

void XmlDocument::appendDeclaration() { doc->append_node(doc->allocate_node(rapidxml::node_declaration)); }

XmlNode XmlDocument::appendElement(std::string_view name) {
  Node* created = doc->allocate_node(rapidxml::node_element, keep(doc.get(), name), nullptr, name.size());
  doc->append_node(created);
  return XmlNode(created);
}

// Node by node: printing the document node itself would end the indented
// form with a second line feed.
template <typename Output>
void printNodes(const rapidxml::xml_document<char>& doc, Output out, XmlDocument::Form form) {
  for (const Node* node = doc.first_node(); node; node = node->next_sibling()) {
    out = rapidxml::print(out, *node, printFlags(form));
  }
}

std::size_t XmlDocument::printedLength(Form form) const {
  std::size_t count = 0;
  printNodes(*doc, CountingIterator{&count}, form);
  return count;
}

void XmlDocument::print(std::string& out, Form form) const { printNodes(*doc, std::back_inserter(out), form); }

// --- lookup and attribute rules ------------------------------------------------

XmlNode findXmlPath(const XmlDocument& doc, std::string_view path) noexcept {
  if (path.ends_with('/')) path.remove_suffix(1);
  XmlNode current;
  bool topLevel = true;
  for (;;) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    current = topLevel ? doc.topLevel(component) : current.child(component);
    topLevel = false;
    if (!current || slash == std::string_view::npos) return current;
    path.remove_prefix(slash + 1);
  }
}

std::optional<int32_t> parseXmlInteger(std::string_view text) noexcept {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()} : std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::optional<int32_t> getIntAttribute(XmlNode element, std::string_view name) noexcept {
  const auto value = element.attribute(name);
  return value ? parseXmlInteger(*value) : std::nullopt;
}

bool getBoolAttribute(XmlNode element, std::string_view name, bool defaultValue) noexcept {
  const auto value = element.attribute(name);
  if (!value || value->empty()) return defaultValue;
  if (value->size() == 1) return *value != "0";
  if (value->size() == 5) {
    static constexpr std::string_view kFalse = "false";
    return !std::equal(value->begin(), value->end(), kFalse.begin(),
                       [](char a, char b) { return (a | 0x20) == b; });
  }
  return true;
}

}  // namespace km::core
