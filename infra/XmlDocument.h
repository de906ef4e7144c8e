#pragma once
// CXmlDocument: the program's small XML reader and writer. The whole document is one 8-bit
// text; beside it sits an index of where each element starts and ends. There is no node
// tree: queries read the text in place through the index, edits splice the text and shift
// the index.
//
// Any module may include this header. One object belongs to one thread at a time; objects
// share nothing, so different threads may use different documents freely.
//
// Parsing is lenient: whatever can be indexed is indexed, and every problem becomes a
// message with its offset in GetResult(). A document with any problem is not well formed
// and does not count as loaded. No input, however malformed, makes a query or an edit read
// outside the text.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CXmlDocument {
 public:
  // Node types, as AppendNode takes them and as the current non-element node reports them.
  enum NodeType : int {
    MNT_ELEMENT = 1,
    MNT_TEXT = 2,
    MNT_WHITESPACE = 4,
    MNT_CDATA_SECTION = 8,
    MNT_PROCESSING_INSTRUCTION = 16,
    MNT_COMMENT = 32,
    MNT_DOCUMENT_TYPE = 64,
    MNT_LONE_END_TAG = 128,
  };

  // Element flags kept in the index.
  enum : uint32_t {
    ELEM_EMPTY = 1,      // written as "<name .../>"
    ELEM_NOT_ENDED = 2,  // its end tag never came; it runs to the end of the text
    ELEM_ERROR = 4,      // on entry 0 only: the parse found a problem
  };

  // Documents beyond this size are refused, so every offset fits an int with room to spare.
  static constexpr size_t kMaxDocumentSize = 0x3FFFFFFF;

  explicit CXmlDocument(const char* text = nullptr);
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Replaces the text and parses it; true when well formed.
  bool SetDoc(std::string_view text);
  const std::string& GetDoc() const { return m_doc; }
  // Messages of the last load, save or parse.
  const std::string& GetResult() const { return m_result; }
  bool IsWellFormed() const;

  // Reads the whole file, converts it from UTF-8 when it declares UTF-8 or nothing, parses.
  bool LoadFromFile(const std::string& path);
  // Writes the text (as UTF-8 when it declares UTF-8 or nothing). The file is replaced
  // atomically: a crash while saving leaves either the old file or the new one, whole.
  bool SaveToFile(const std::string& path);

  // Navigation. The position is (parent, current element, current child); parent 0 is the
  // document itself, so the top level is where the root lives.
  void ResetPosition();
  bool FindNextElement(const char* name = nullptr);
  bool EnterElement();
  bool LeaveElement();

  // Queries on the current element (or the current non-element node where said).
  std::string GetElementName() const;
  std::string GetAttribute(const char* name) const;
  std::string GetElementText() const;

  // Edits. Names must be plain XML names; anything that would break the markup is refused
  // (false) and leaves the document as it was.
  bool SetAttribute(const char* name, const char* value);
  bool SetAttribute(const char* name, int value);
  bool AppendElement(const char* name, const char* text = nullptr);
  bool AppendNode(int nodeType, const char* text);

  // Text escaping: "<", "&", ">" always; "'" and '"' too for attribute values.
  static std::string EscapeText(std::string_view text, bool attribute);
  // The five named entities and numeric references; anything else stays as it is.
  static std::string UnescapeText(std::string_view text);

  // The encoding named by a leading XML declaration, "" when there is none.
  static std::string GetDeclaredEncoding(std::string_view text);

  // Index introspection for tests.
  struct ElementRecord {
    int nStart = 0;        // offset of "<"
    int nLength = 0;       // through the end tag, or through "/>"
    int nStartTagLen = 0;
    int nEndTagLen = 0;
    uint32_t nFlags = 0;
    int iElemParent = 0;
    int iElemChild = 0;    // first child
    int iElemNext = 0;
    int iElemPrev = 0;
  };
  int GetElementCount() const { return m_elementCount; }
  const ElementRecord& GetRecord(int i) const { return Rec(i); }
  int GetCurrentElement() const { return m_iPos; }

 private:
  static constexpr int kPageBits = 16;
  static constexpr int kPageSize = 1 << kPageBits;

  ElementRecord& Rec(int i) { return m_pages[static_cast<size_t>(i) >> kPageBits][i & (kPageSize - 1)]; }
  const ElementRecord& Rec(int i) const {
    return m_pages[static_cast<size_t>(i) >> kPageBits][i & (kPageSize - 1)];
  }
  void ResetIndex(size_t reserve);
  int NewElement();
  bool Parse();
  void AddMessage(const std::string& message);

  std::string_view TagName(int i) const;
  int LastChild(int parent) const;
  bool FindAttribute(int i, std::string_view name, size_t* valueStart, size_t* valueLength,
                     bool* quoted, size_t* nameEnd) const;
  void Splice(size_t offset, size_t removeLength, std::string_view insert, int affected);
  bool MakeRoomForChild(int parent);
  size_t InsertionPoint(int* parent, int* prev) const;
  void ClearNode() { m_nodeType = 0, m_nodeOffset = 0, m_nodeLength = 0; }

  std::string m_doc;
  std::string m_result;
  std::vector<std::vector<ElementRecord>> m_pages;
  int m_elementCount = 0;

  int m_iPosParent = 0;
  int m_iPos = 0;
  int m_iPosChild = 0;
  int m_nodeType = 0;
  size_t m_nodeOffset = 0;
  size_t m_nodeLength = 0;
};
