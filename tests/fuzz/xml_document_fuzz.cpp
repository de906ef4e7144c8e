// libFuzzer target (scripts/fuzz-xml.sh): any bytes as a document, walked, edited and parsed
// again; the element index must stay consistent and an edit must keep a document well formed.
#include <string>
#include <string_view>

#include "infra/XmlDocument.h"

namespace {

void Check(bool condition) { if (!condition) __builtin_trap(); }

void CheckIndex(const CXmlDocument& doc) {
  const int size = static_cast<int>(doc.GetDoc().size());
  Check(doc.GetRecord(0).nLength == size);
  for (int i = 1; i < doc.GetElementCount(); ++i) {
    const auto& r = doc.GetRecord(i);
    const auto& parent = doc.GetRecord(r.iElemParent);
    Check(r.nStart >= 0 && r.nLength >= r.nStartTagLen && r.nStartTagLen >= 2 && r.nEndTagLen >= 0);
    Check(r.nStart + r.nLength <= size && doc.GetDoc()[static_cast<size_t>(r.nStart)] == '<' && r.iElemParent < i);
    Check(r.iElemParent == 0 || (r.nStart >= parent.nStart + parent.nStartTagLen &&
                                 r.nStart + r.nLength <= parent.nStart + parent.nLength - parent.nEndTagLen));
    Check(r.iElemNext == 0 || doc.GetRecord(r.iElemNext).nStart >= r.nStart + r.nLength);
  }
}

int Visit(CXmlDocument& doc, int budget) {
  for (; budget > 0 && doc.FindNextElement(); --budget) {
    (void)doc.GetElementName();
    (void)doc.GetAttribute("a");
    (void)doc.GetElementText();
    if (doc.EnterElement()) {
      budget = Visit(doc, budget);
      Check(doc.LeaveElement());
    }
  }
  return budget;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string value(input.substr(0, 64));
  Check(CXmlDocument::UnescapeText(CXmlDocument::EscapeText(value, true)) == value);
  Check(CXmlDocument::UnescapeText(CXmlDocument::EscapeText(value, false)) == value);
  (void)CXmlDocument::UnescapeText(input);
  (void)CXmlDocument::GetDeclaredEncoding(input);
  CXmlDocument doc;
  const bool wellFormed = doc.SetDoc(input);
  CheckIndex(doc);
  Visit(doc, 200);
  // An element with a new attribute and new content keeps a document well formed.
  doc.ResetPosition();
  if (!wellFormed || !doc.FindNextElement()) return 0;
  const int before = doc.GetElementCount();
  doc.SetAttribute("a", value.c_str());
  const int appended = doc.EnterElement() && doc.AppendElement("o", value.c_str()) ? 1 : 0;
  CheckIndex(doc);
  CXmlDocument reparsed;
  Check(reparsed.SetDoc(doc.GetDoc()) && reparsed.GetElementCount() == before + appended &&
        doc.GetElementCount() == before + appended);
  CheckIndex(reparsed);
  return 0;
}
