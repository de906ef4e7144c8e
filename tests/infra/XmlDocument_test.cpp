#include "infra/XmlDocument.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

// The index as text; a child whose back links are wrong shows as "!".
std::string IndexText(const CXmlDocument& doc, int i = 0) {
  const auto& r = doc.GetRecord(i);
  std::string out = std::to_string(r.nStart) + "," + std::to_string(r.nLength) + "," + std::to_string(r.nStartTagLen) +
                    "," + std::to_string(r.nEndTagLen) + "," + std::to_string(r.nFlags & CXmlDocument::ELEM_EMPTY);
  for (int c = r.iElemChild, prev = 0; c != 0; prev = c, c = doc.GetRecord(c).iElemNext) {
    const auto& child = doc.GetRecord(c);
    out += (child.iElemParent == i && child.iElemPrev == prev ? "(" : "!(") + IndexText(doc, c) + ")";
  }
  return out;
}

// The index an edit left behind must be the one a fresh parse of the edited text builds.
void ExpectIndexMatchesReparse(const CXmlDocument& edited) {
  const CXmlDocument reparsed(edited.GetDoc().c_str());
  EXPECT_EQ(edited.GetElementCount(), reparsed.GetElementCount()) << edited.GetDoc();
  EXPECT_EQ(IndexText(edited), IndexText(reparsed)) << edited.GetDoc();
}

TEST(XmlDocumentParse, MessagesAndOffsets) {
  const struct {
    const char *text, *result;  // no result: well formed
  } cases[] = {
      {"", "Empty document"},
      {"<?xml version='1.0'?>", "No root element"},
      {"<a/><b/>", "Root element has sibling"},
      {"<a><b></a>", "Element 'b' at offset 3 not ended"},
      {"<a></b></a>",
       "End tag 'b' at offset 3 does not match start tag 'a' at offset 0, "
       "No start tag for end tag 'a' at offset 7"},
      {"</a>", "No start tag for end tag 'a' at offset 0, No root element"},
      {"<a><1/></a>", "Incorrect tag name character at offset 3"},
      {"<a><b x='>'", "Element tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a></a", "Element end tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><!-x--></a>", "Incorrect comment tag at offset 3"},
      {"<a><![CDAT[x]]></a>", "Incorrect tag at offset 3"},
      {"<a><!foo></a>", "Incorrect ! tag at offset 3"},
      {"<a><![CDATA[x</a>", "CDATA Section at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><![CD", "tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<?xml", "Processing instruction at offset 0 unterminated, No root element"},
      {"<a><!-- x </a>", "Comment at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<!DOCTYPE a [ <!ENTITY x '>'> ", "Doctype at offset 0 unterminated, No root element"},
      {"<a>x<", "tag at offset 4 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><b><c></a>", "Element 'b' at offset 3 not ended, Element 'c' at offset 6 not ended"},
      {"<!DOCTYPE a [<!ENTITY e 'x>'>]><a x='/>'><!-- <b> --><![CDATA[</a>]]></a>", ""},
      {"<?xml version='1.0'?>\r\n<a>\r\n<b c=\"1\"/>\r\n</a>\r\n", ""},
  };
  for (const auto& c : cases) {
    CXmlDocument doc;
    EXPECT_EQ(!*c.result, doc.SetDoc(c.text)) << c.text;
    EXPECT_EQ(c.result, doc.GetResult()) << c.text;
    EXPECT_EQ(!*c.result, doc.IsWellFormed()) << c.text;
  }
}

TEST(XmlDocumentFile, SaveReplacesWholeAndKeepsUtf8) {
  const std::string dir = testfiles::MakeTempDir("vt_xml_");
  const std::string path = dir + "doc.xml";
  WriteFile(path, "old content that is longer than the new document will be, by far........");
  chmod(path.c_str(), 0640);

  CXmlDocument doc;
  ASSERT_TRUE(doc.AppendElement("root"));
  ASSERT_TRUE(doc.SetAttribute("name", "摄像头 \"one\""));
  ASSERT_TRUE(doc.SaveToFile(path));
  EXPECT_EQ("UTF-8 " + std::to_string(doc.GetDoc().size()) + " bytes", doc.GetResult());
  EXPECT_EQ(doc.GetDoc(), ReadFile(path));

  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777) << "a replaced file keeps its mode";
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir), {})) << "no temporary file may stay behind";

  EXPECT_FALSE(doc.SaveToFile(dir + "no/such/dir/doc.xml"));
  EXPECT_EQ("No such file or directory", doc.GetResult());
}

TEST(XmlDocumentEscape, RoundTrips) {
  const std::string nasty = "a<b>&c'd\"e &amp; &#65; ]]> -->";
  EXPECT_EQ("a&lt;b&gt;&amp;c&apos;d&quot;e &amp;amp; &amp;#65; ]]&gt; --&gt;", CXmlDocument::EscapeText(nasty, true));
  EXPECT_EQ("a&lt;b&gt;&amp;c'd\"e &amp;amp; &amp;#65; ]]&gt; --&gt;", CXmlDocument::EscapeText(nasty, false));
  CXmlDocument doc;
  ASSERT_TRUE(doc.AppendElement("t", nasty.c_str()));
  ASSERT_TRUE(doc.SetAttribute("v", nasty.c_str()));
  CXmlDocument back(doc.GetDoc().c_str());
  ASSERT_TRUE(back.FindNextElement("t"));
  EXPECT_EQ(nasty, back.GetAttribute("v"));
  EXPECT_EQ(nasty, back.GetElementText());
}

TEST(XmlDocumentEscape, UnescapeRules) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"&amp;lt;", "&lt;"},        {"&#65;", "A"},           {"&#x41;", "A"},
      {"&foo;", "&foo;"},          {"&LT;", "&LT;"},         {"&#x4E2D;", "中"},
      {"&#1114111;", "\xF4\x8F\xBF\xBF"},                    {"&#x110000;", "&#x110000;"},
      {"&#12345678;", "&#12345678;"},                        {"&#0;", "&#0;"},
      {"&#xD800;", "&#xD800;"},    {"&#;", "&#;"},           {"&#x;", "&#x;"},
      {"&#6a;", "&#6a;"},          {"&#65", "&#65"},         {"&", "&"},
      {"x&quot;y&apos;z&gt;", "x\"y'z>"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, CXmlDocument::UnescapeText(r.in)) << r.in;

  CXmlDocument doc("<a v='&amp;lt;' w=\"&#65;\" x=&foo; y='it&apos;s'/>");
  ASSERT_TRUE(doc.FindNextElement());
  for (const auto& [name, value] : {std::pair{"v", "&lt;"}, {"w", "A"}, {"x", "&foo;"}, {"y", "it's"}, {"z", ""}})
    EXPECT_EQ(value, doc.GetAttribute(name)) << name;
}

TEST(XmlDocumentNavigation, FailedFindKeepsThePositionAndLeaveReturnsToTheChild) {
  CXmlDocument doc("<list>\n<File name='a' /><Note/><File name='b'></File>\n<Other/></list>");
  EXPECT_FALSE(doc.FindNextElement("File"));  // only the root is at the top level
  ASSERT_TRUE(doc.FindNextElement());
  ASSERT_TRUE(doc.EnterElement());
  std::string seen;
  while (doc.FindNextElement("File")) seen += doc.GetAttribute("name");
  EXPECT_EQ("ab", seen);
  EXPECT_EQ("File", doc.GetElementName());
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ("list", doc.GetElementName());
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ("b", doc.GetAttribute("name"));
  ASSERT_TRUE(doc.FindNextElement(""));
  EXPECT_EQ("Other", doc.GetElementName());
  EXPECT_FALSE(doc.EnterElement() && doc.FindNextElement());
}

TEST(XmlDocumentEdit, InsertionLayoutAndIndex) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.AppendNode(CXmlDocument::MNT_PROCESSING_INSTRUCTION, "xml version='1.0' "));
  EXPECT_EQ("xml", doc.GetElementName());
  ASSERT_TRUE(doc.AppendElement("root"));
  ASSERT_TRUE(doc.SetAttribute("n", 7));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.AppendElement("a", "text"));
  ASSERT_TRUE(doc.AppendElement("b"));
  ASSERT_TRUE(doc.SetAttribute("k", "v"));
  ASSERT_TRUE(doc.SetAttribute("k", "longer value"));
  ASSERT_TRUE(doc.SetAttribute("n", -3));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.AppendElement("c"));
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.AppendNode(CXmlDocument::MNT_COMMENT, " note "));
  EXPECT_EQ("#comment", doc.GetElementName());
  EXPECT_EQ(" note ", doc.GetElementText());
  ASSERT_TRUE(doc.AppendElement("d"));
  EXPECT_EQ("<?xml version='1.0' ?>\r\n<root n=\"7\">\r\n<a>text</a>\r\n<b k=\"longer value\" n=\"-3\">\r\n"
            "<c/>\r\n</b>\r\n<!-- note -->\r\n<d/>\r\n</root>\r\n",
            doc.GetDoc());
  EXPECT_TRUE(doc.IsWellFormed());
  ExpectIndexMatchesReparse(doc);

  CXmlDocument parsed("<r><x a='1'/><y/></r>");
  ASSERT_TRUE(parsed.FindNextElement());
  ASSERT_TRUE(parsed.EnterElement());
  ASSERT_TRUE(parsed.FindNextElement("x"));
  ASSERT_TRUE(parsed.AppendElement("m", "1 < 2"));
  ASSERT_TRUE(parsed.SetAttribute("q", "'"));
  ASSERT_TRUE(parsed.FindNextElement("y"));
  ASSERT_TRUE(parsed.SetAttribute("a", "2"));
  EXPECT_EQ("<r><x a='1'/>\r\n<m q=\"&apos;\">1 &lt; 2</m>\r\n<y a=\"2\"/></r>", parsed.GetDoc());
  ExpectIndexMatchesReparse(parsed);
}

TEST(XmlDocumentEdit, RefusesWhatWouldBreakTheMarkup) {
  CXmlDocument doc;
  EXPECT_FALSE(doc.SetAttribute("a", "1"));  // no current element
  for (const char* name : {"1bad", "a b", ""}) EXPECT_FALSE(doc.AppendElement(name)) << name;
  ASSERT_TRUE(doc.AppendElement("ok"));
  for (const char* name : {"x=y", "x>"}) EXPECT_FALSE(doc.SetAttribute(name, "1")) << name;
  for (const auto& [type, text] : {std::pair{CXmlDocument::MNT_COMMENT, "a --> b"},
                                   {CXmlDocument::MNT_PROCESSING_INSTRUCTION, "a ?> b"},
                                   {CXmlDocument::MNT_CDATA_SECTION, "]]>"}, {CXmlDocument::MNT_WHITESPACE, " x "},
                                   {CXmlDocument::MNT_LONE_END_TAG, "ok"}})
    EXPECT_FALSE(doc.AppendNode(type, text)) << text;
  EXPECT_EQ("<ok/>\r\n", doc.GetDoc());
}

TEST(XmlDocumentEdit, EditsOnBrokenDocumentsStayInBounds) {
  const char* broken[] = {"<a><b x=y'z c='1>", "<a><b>", "<a x='1' y=2 z w=\"3\"/><", "<a></b><c></a>"};
  for (const char* text : broken) {
    CXmlDocument doc(text);
    while (doc.FindNextElement()) {
      doc.SetAttribute("c", "new");
      doc.SetAttribute("z", 5);
      if (!doc.EnterElement()) break;
      doc.AppendElement("n", "t");
    }
    const std::string after = doc.GetDoc();
    CXmlDocument reparsed(after.c_str());  // must parse without tripping the sanitizers
    EXPECT_GE(after.size(), std::string(text).size());
  }
  CXmlDocument doc("<a b=x' c='y><d/></a>");
  ASSERT_TRUE(doc.IsWellFormed()) << doc.GetResult();
  ASSERT_TRUE(doc.FindNextElement());
  ASSERT_TRUE(doc.SetAttribute("c", "2"));
  ASSERT_TRUE(doc.SetAttribute("b", "3"));
  EXPECT_EQ("<a b=\"3\"' c='y c=\"2\"><d/></a>", doc.GetDoc());
  EXPECT_TRUE(CXmlDocument(doc.GetDoc().c_str()).IsWellFormed());
  ExpectIndexMatchesReparse(doc);
}

}  // namespace
