// The XML rules the configuration relies on: integer and boolean attributes,
// first-match path lookup, what the parser accepts and refuses, and the two
// printed forms.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "config/Xml.h"

using namespace km::core;

namespace {

std::string parseError(std::string_view text) {
  try {
    XmlDocument doc;
    doc.parse(text);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(XmlAttributes, IntegersAreOptionalMinusThenDigitsUpToTheFirstOtherCharacterWithinSigned32Bits) {
  const struct {
    const char* text;
    std::optional<int32_t> value;
  } cases[] = {
      {"131072", 131072},       {"131072abc", 131072},          {"-2147483648", INT32_MIN},
      {"2147483647", INT32_MAX}, {"2147483648", std::nullopt},   {"-2147483649", std::nullopt},
      {"", std::nullopt},        {"-", std::nullopt},            {"-x1", std::nullopt},
      {"+5", std::nullopt},      {" 5", std::nullopt},           {"-0", 0},
      {"000000000000012", 12},   {"99999999999999999999", std::nullopt}, {"7 8", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(parseXmlInteger(c.text), c.value) << '"' << c.text << '"';

  XmlDocument doc;
  doc.parse(R"(<a ID="42" Empty=""/>)");
  EXPECT_EQ(getIntAttribute(doc.root(), "ID"), 42);
  EXPECT_EQ(getIntAttribute(doc.root(), "id"), std::nullopt) << "names match exactly";
  EXPECT_EQ(getIntAttribute(doc.root(), "Empty"), std::nullopt);
}

TEST(XmlAttributes, BooleansAreFalseOnlyForZeroOrFalseInAnyCase) {
  const struct {
    const char* value;
    bool expected;
  } cases[] = {{"0", false}, {"FALSE", false}, {"fAlSe", false}, {"1", true},   {"no", true},
               {"off", true}, {"false ", true}, {"00", true},      {"x", true},   {"falsy", true}};
  for (const auto& c : cases) {
    XmlDocument doc;
    doc.parse(std::string("<a T=\"") + c.value + "\"/>");
    EXPECT_EQ(getBoolAttribute(doc.root(), "T", true), c.expected) << c.value;
  }
  XmlDocument doc;
  doc.parse(R"(<a T=""/>)");
  EXPECT_TRUE(getBoolAttribute(doc.root(), "T", true)) << "empty gives the default";
  EXPECT_FALSE(getBoolAttribute(doc.root(), "T", false));
  EXPECT_FALSE(getBoolAttribute(doc.root(), "Absent", false));
}

TEST(XmlPaths, EachComponentTakesTheFirstElementOfThatExactName) {
  XmlDocument doc;
  doc.parse(R"(<?xml version="1.0"?><!-- c --><!DOCTYPE x><other/><kDVR>
      <Modules n="1"><Module n="a"/><Module n="b"/></Modules><Modules n="2"/></kDVR>)");
  EXPECT_EQ(doc.root().name(), "other") << "no node for the declaration, comment or DOCTYPE";
  EXPECT_EQ(findXmlPath(doc, "kDVR/Modules").attribute("n"), "1");
  EXPECT_EQ(findXmlPath(doc, "kDVR/Modules/Module/").attribute("n"), "a");
  EXPECT_EQ(findXmlPath(doc, "kDVR/Modules/Module").nextSameNamed().attribute("n"), "b");
  EXPECT_FALSE(findXmlPath(doc, "kDVR/Modules/Module").nextSameNamed().nextSameNamed());
  for (const char* missing : {"kdvr/Modules", "kDVR/Module", "Modules", "kDVR/Modules/Modul", "", "/", "kDVR//Modules"}) {
    EXPECT_FALSE(findXmlPath(doc, missing)) << missing;
  }
}

TEST(XmlParsing, TheCallersTextIsBoundedByItsLengthAndNeverWritten) {
  const std::string text = "\xEF\xBB\xBF<a v=\"&lt;&amp;&#65;&#x263A;&#128512;\"/>garbage";
  const std::string before = text;
  XmlDocument doc;
  doc.parse(std::string_view(text).substr(0, text.size() - 7));
  EXPECT_EQ(text, before);
  EXPECT_EQ(doc.root().attribute("v"), "<&A\u263A\U0001F600");
  doc.parse(std::string("<b/>\0\0\0", 7));
  EXPECT_EQ(doc.root().name(), "b") << "trailing NULs are ignored";
}

TEST(XmlParsing, MalformedTextIsRefusedWithTheParsersMessage) {
  EXPECT_EQ(parseError("<a>"), "unexpected end of data");
  EXPECT_EQ(parseError("junk"), "expected <");
  EXPECT_EQ(parseError("<a></b>"), "invalid closing tag name");
  EXPECT_EQ(parseError("<a v=\"&#1114111;\"/>"), "");
  EXPECT_EQ(parseError("<a v=\"&#1114112;\"/>"), "invalid numeric character entity");
  // Values that wrap a 32-bit or 64-bit word are beyond Unicode all the same.
  EXPECT_EQ(parseError("<a v=\"&#4294967361;\"/>"), "invalid numeric character entity");
  EXPECT_EQ(parseError("<a>&#x10000000000000041;</a>"), "invalid numeric character entity");
  // NUL is no character: a value holding it would cut every document printed from it.
  for (const char* nul : {"<a v=\"&#0;\"/>", "<a v=\"x&#x000;\"/>", "<a v=\"&#;\"/>", "<a v=\"&#x;\"/>", "<a>&#0;</a>"}) {
    EXPECT_EQ(parseError(nul), "invalid numeric character entity") << nul;
  }
  EXPECT_EQ(parseError("<a v=\"&#x1;&#9;\"/>"), "");
  EXPECT_EQ(parseError("<a><!-- &#99999999999; --><![CDATA[&#99999999999;]]></a>"), "")
      << "no references inside comments and CDATA";
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_EQ(parseError(deep), "elements nested too deeply");
}

TEST(XmlPrinting, AttributeValuesAreQuotedAndEscapedInBothForms) {
  XmlDocument doc;
  doc.appendDeclaration();
  XmlNode root = doc.appendElement("kDVR");
  XmlNode a = root.appendChild("A");
  a.appendAttribute("Plain", "x<y>&z'");
  a.appendAttribute("Quoted", "say \"hi\" it's");
  a.appendAttribute("N", int64_t{-2147483648});
  a.appendAttribute("Empty", "");
  root.appendChild("B").appendChild("C");

  std::string compact;
  doc.print(compact, XmlDocument::Form::Compact);
  EXPECT_EQ(compact,
            "<?xml?><kDVR><A Plain=\"x&lt;y&gt;&amp;z'\" Quoted='say \"hi\" it&apos;s' N=\"-2147483648\" Empty=\"\"/>"
            "<B><C/></B></kDVR>");
  std::string indented;
  doc.print(indented, XmlDocument::Form::Indented);
  EXPECT_EQ(indented.substr(indented.find("<B>")), "<B>\n\t\t<C/>\n\t</B>\n</kDVR>\n");
  EXPECT_EQ(indented.substr(0, 16), "<?xml?>\n<kDVR>\n\t");
  EXPECT_EQ(doc.printedLength(XmlDocument::Form::Indented), indented.size());
  EXPECT_EQ(doc.printedLength(XmlDocument::Form::Compact), compact.size());

  XmlDocument back;
  back.parse(compact);
  EXPECT_EQ(findXmlPath(back, "kDVR/A").attribute("Quoted"), "say \"hi\" it's");
}

}  // namespace
