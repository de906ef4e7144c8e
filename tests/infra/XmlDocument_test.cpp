#include "infra/XmlDocument.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

// The index an edit left behind must be the one a fresh parse of the edited text builds.
void ExpectSameSubtree(const CXmlDocument& a, int ia, const CXmlDocument& b, int ib) {
  const auto& ra = a.GetRecord(ia);
  const auto& rb = b.GetRecord(ib);
  const auto fields = [](const CXmlDocument::ElementRecord& r) {
    return std::vector<int>{r.nStart, r.nLength, r.nStartTagLen, r.nEndTagLen,
                            static_cast<int>(r.nFlags & CXmlDocument::ELEM_EMPTY)};
  };
  EXPECT_EQ(fields(ra), fields(rb)) << a.GetDoc();
  int ca = ra.iElemChild;
  int cb = rb.iElemChild;
  int prevA = 0;
  while (ca != 0 && cb != 0) {
    EXPECT_EQ(ia, a.GetRecord(ca).iElemParent);
    EXPECT_EQ(prevA, a.GetRecord(ca).iElemPrev);
    ExpectSameSubtree(a, ca, b, cb);
    prevA = ca;
    ca = a.GetRecord(ca).iElemNext;
    cb = b.GetRecord(cb).iElemNext;
  }
  EXPECT_EQ(0, ca) << "extra child in the edited index at " << ra.nStart;
  EXPECT_EQ(0, cb) << "child missing from the edited index at " << ra.nStart;
}

void ExpectIndexMatchesReparse(const CXmlDocument& edited) {
  CXmlDocument reparsed;
  reparsed.SetDoc(edited.GetDoc());
  ASSERT_EQ(edited.GetElementCount(), reparsed.GetElementCount()) << edited.GetDoc();
  ExpectSameSubtree(edited, 0, reparsed, 0);
}

TEST(XmlDocumentParse, MessagesAndOffsets) {
  const struct {
    const char* text;
    bool wellFormed;
    const char* result;
  } cases[] = {
      {"", false, "Empty document"},
      {"<?xml version='1.0'?>", false, "No root element"},
      {"<a/><b/>", false, "Root element has sibling"},
      {"<a><b></a>", false, "Element 'b' at offset 3 not ended"},
      {"<a></b></a>", false,
       "End tag 'b' at offset 3 does not match start tag 'a' at offset 0, "
       "No start tag for end tag 'a' at offset 7"},
      {"</a>", false, "No start tag for end tag 'a' at offset 0, No root element"},
      {"<a><1/></a>", false, "Incorrect tag name character at offset 3"},
      {"<a><b x='>'", false, "Element tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a></a", false, "Element end tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><!-x--></a>", false, "Incorrect comment tag at offset 3"},
      {"<a><![CDAT[x]]></a>", false, "Incorrect tag at offset 3"},
      {"<a><!foo></a>", false, "Incorrect ! tag at offset 3"},
      {"<a><![CDATA[x</a>", false, "CDATA Section at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><![CD", false, "tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<?xml", false, "Processing instruction at offset 0 unterminated, No root element"},
      {"<a><!-- x </a>", false, "Comment at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<!DOCTYPE a [ <!ENTITY x '>'> ", false, "Doctype at offset 0 unterminated, No root element"},
      {"<a>x<", false, "tag at offset 4 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><b><c></a>", false, "Element 'b' at offset 3 not ended, Element 'c' at offset 6 not ended"},
      {"<!DOCTYPE a [<!ENTITY e 'x>'>]><a x='/>'><!-- <b> --><![CDATA[</a>]]></a>", true, ""},
      {"<?xml version='1.0'?>\r\n<a>\r\n<b c=\"1\"/>\r\n</a>\r\n", true, ""},
  };
  for (const auto& c : cases) {
    CXmlDocument doc;
    EXPECT_EQ(c.wellFormed, doc.SetDoc(c.text)) << c.text;
    EXPECT_EQ(c.result, doc.GetResult()) << c.text;
    EXPECT_EQ(c.wellFormed, doc.IsWellFormed()) << c.text;
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
  const auto entries = std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
  EXPECT_EQ(1, entries) << "no temporary file may stay behind";

  CXmlDocument back;
  ASSERT_TRUE(back.LoadFromFile(path));
  ASSERT_TRUE(back.FindNextElement("root"));
  EXPECT_EQ("摄像头 \"one\"", back.GetAttribute("name"));

  EXPECT_FALSE(doc.SaveToFile(dir + "no/such/dir/doc.xml"));
  EXPECT_EQ("No such file or directory", doc.GetResult());
}

TEST(XmlDocumentEscape, RoundTrips) {
  const std::string nasty = "a<b>&c'd\"e &amp; &#65; ]]> -->";
  EXPECT_EQ("a&lt;b&gt;&amp;c&apos;d&quot;e &amp;amp; &amp;#65; ]]&gt; --&gt;", CXmlDocument::EscapeText(nasty, true));
  EXPECT_EQ("a&lt;b&gt;&amp;c'd\"e &amp;amp; &amp;#65; ]]&gt; --&gt;", CXmlDocument::EscapeText(nasty, false));
  CXmlDocument doc;
  ASSERT_TRUE(doc.AppendElement("r"));
  ASSERT_TRUE(doc.SetAttribute("v", nasty.c_str()));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.AppendElement("t", nasty.c_str()));
  CXmlDocument back(doc.GetDoc().c_str());
  ASSERT_TRUE(back.IsWellFormed()) << back.GetResult();
  ASSERT_TRUE(back.FindNextElement("r"));
  EXPECT_EQ(nasty, back.GetAttribute("v"));
  ASSERT_TRUE(back.EnterElement());
  ASSERT_TRUE(back.FindNextElement("t"));
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
  EXPECT_FALSE(doc.AppendElement("1bad"));
  EXPECT_FALSE(doc.AppendElement("a b"));
  EXPECT_FALSE(doc.AppendElement(""));
  ASSERT_TRUE(doc.AppendElement("ok"));
  EXPECT_FALSE(doc.SetAttribute("x=y", "1"));
  EXPECT_FALSE(doc.SetAttribute("x>", "1"));
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
