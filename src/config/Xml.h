// The core's XML: parsing a length-bounded text without touching the
// caller's bytes, first-match path lookup, attribute reading by the core's
// integer and boolean rules, and building and printing documents in the
// compact and the indented form. The only place that knows the parser.
//
//     XmlDocument doc;
//     doc.parse(text);                        // throws std::runtime_error
//     XmlNode memory = findXmlPath(doc, "kDVR/Memory");
//     bool on = getBoolAttribute(memory, "Throttling", true);
//
// A document and its nodes belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rapidxml {
template <class Ch>
class xml_node;
template <class Ch>
class xml_document;
}  // namespace rapidxml

namespace km::core {

// An element of an XmlDocument, or nothing. Valid while its document lives.
class XmlNode {
 public:
  XmlNode() = default;
  explicit operator bool() const noexcept { return node != nullptr; }

  std::string_view name() const noexcept;
  // The first child element named exactly `childName`.
  XmlNode child(std::string_view childName) const noexcept;
  // The next sibling element with this element's own name.
  XmlNode nextSameNamed() const noexcept;
  // The entity-decoded value of the attribute named exactly `attributeName`.
  std::optional<std::string_view> attribute(std::string_view attributeName) const noexcept;

  // Building: a new last child element, and a new last attribute (both the
  // name and the value are copied into the document).
  XmlNode appendChild(std::string_view childName) const;
  void appendAttribute(std::string_view attributeName, std::string_view value) const;
  void appendAttribute(std::string_view attributeName, int64_t value) const;
  // Takes the child out of this element.
  void removeChild(XmlNode child) const noexcept;

 private:
  friend class XmlDocument;
  explicit XmlNode(rapidxml::xml_node<char>* node) noexcept : node(node) {}
  rapidxml::xml_node<char>* node = nullptr;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the content with the document in `text`: trailing NUL bytes are
  // ignored, a UTF-8 byte-order mark is skipped, the declaration, comments,
  // DOCTYPE and processing instructions give no nodes. Throws
  // std::runtime_error with the parser's message when the text is not well
  // formed. The caller's bytes are never written.
  void parse(std::string_view text);

  // The first top-level element, and the first one named exactly `name`.
  XmlNode root() const noexcept;
  XmlNode topLevel(std::string_view name) const noexcept;
  // Building: a declaration without attributes ("<?xml?>"), then top-level
  // elements, in the order they are appended.
  void appendDeclaration();
  XmlNode appendElement(std::string_view name);

  enum class Form { Compact, Indented };
  // Characters the printed form takes.
  std::size_t printedLength(Form form) const;
  // Appends the printed form to `out`.
  void print(std::string& out, Form form) const;

 private:
  std::unique_ptr<rapidxml::xml_document<char>> doc;
  std::unique_ptr<char[]> text;  // the private copy the parsed nodes point into
};

// Resolves "A/B/C" from the top-level elements: at each step the first
// element of that exact name among the current siblings; a trailing "/" is
// allowed. Nothing when a component has no match.
XmlNode findXmlPath(const XmlDocument& doc, std::string_view path) noexcept;

// An optional '-' and decimal digits, read up to the first other character.
// Nothing when the attribute is absent or empty, when no digit follows the
// '-', or when the number does not fit a signed 32-bit value.
std::optional<int32_t> getIntAttribute(XmlNode element, std::string_view name) noexcept;
std::optional<int32_t> parseXmlInteger(std::string_view text) noexcept;

// Absent or empty: `defaultValue`. A one-character value is false only when
// it is "0", a five-character one only when it is "false" in any case;
// anything else is true.
bool getBoolAttribute(XmlNode element, std::string_view name, bool defaultValue) noexcept;

}  // namespace km::core
