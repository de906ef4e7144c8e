#include "infra/XmlDocument.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/AtomicFile.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A tag name starts with a letter, "_" or ":"; bytes of multibyte characters count as
// letters so that names in the local code page are accepted.
bool IsNameStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool IsNameEnd(char c) { return IsBlank(c) || c == '/' || c == '>'; }

// Names written by the edit operations must read back as the same single name.
bool IsValidName(const char* name) {
  if (name == nullptr || !IsNameStart(name[0])) return false;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char u = static_cast<unsigned char>(*p);
    if (u < 0x20 || std::strchr(" /<>=&'\"", *p) != nullptr) return false;
  }
  return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (length > 0) {
    out.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return out;
}

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
  return at <= text.size() && text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// "&#" digits ";" or "&#x" hex digits ";", the ";" within 7 characters of the "#". Returns
// the length of the reference, 0 when it is not one that converts to a character.
size_t NumericReference(std::string_view text, size_t amp, uint32_t* code) {
  const size_t digitsStart = amp + 2;
  const size_t limit = std::min(text.size(), digitsStart + 8);
  size_t semi = digitsStart;
  while (semi < limit && text[semi] != ';') ++semi;
  if (semi >= limit) return 0;
  size_t p = digitsStart;
  const bool hex = p < semi && text[p] == 'x';
  if (hex) ++p;
  if (p == semi) return 0;
  uint32_t value = 0;
  for (; p < semi; ++p) {
    const char c = text[p];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return 0;
    }
    value = value * (hex ? 16u : 10u) + digit;  // at most 7 digits: no overflow
  }
  // Code 0, surrogates and values beyond Unicode have no character to become.
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return semi + 1 - amp;
}

}  // namespace

CXmlDocument::CXmlDocument(const char* text) {
  ResetIndex(8);
  if (text != nullptr) SetDoc(text);
}

CXmlDocument::~CXmlDocument() = default;

void CXmlDocument::ResetIndex(size_t reserve) {
  m_pages.clear();
  m_pages.emplace_back();
  m_pages[0].reserve(std::min(reserve, static_cast<size_t>(kPageSize)));
  m_elementCount = 0;
  NewElement();  // entry 0: the document
  Rec(0).nLength = static_cast<int>(m_doc.size());
  ResetPosition();
}

int CXmlDocument::NewElement() {
  const size_t page = static_cast<size_t>(m_elementCount) >> kPageBits;
  if (page >= m_pages.size()) {
    m_pages.emplace_back();
    m_pages.back().reserve(kPageSize);
  }
  m_pages[page].emplace_back();
  return m_elementCount++;
}

bool CXmlDocument::IsWellFormed() const {
  const int root = Rec(0).iElemChild;
  return root != 0 && Rec(root).iElemNext == 0 && (Rec(0).nFlags & ELEM_ERROR) == 0;
}

bool CXmlDocument::SetDoc(std::string_view text) {
  m_result.clear();
  if (text.size() > kMaxDocumentSize) {
    m_doc.clear();
    ResetIndex(8);
    m_result = "Document too large";
    Rec(0).nFlags |= ELEM_ERROR;
    return false;
  }
  m_doc.assign(text);
  return Parse();
}

void CXmlDocument::AddMessage(const std::string& message) {
  Rec(0).nFlags |= ELEM_ERROR;
  if (!m_result.empty()) m_result += ", ";
  m_result += message;
}

std::string_view CXmlDocument::TagName(int i) const {
  const ElementRecord& r = Rec(i);
  const size_t begin = static_cast<size_t>(r.nStart) + 1;
  const size_t limit = static_cast<size_t>(r.nStart) + static_cast<size_t>(r.nStartTagLen);
  size_t end = begin;
  while (end < limit && !IsNameEnd(m_doc[end])) ++end;
  return std::string_view(m_doc).substr(begin, end - begin);
}

int CXmlDocument::LastChild(int parent) const {
  int last = 0;
  for (int i = Rec(parent).iElemChild; i != 0; i = Rec(i).iElemNext) last = i;
  return last;
}

bool CXmlDocument::Parse() {
  const size_t len = m_doc.size();
  ResetIndex(len / 64 + 8);
  if (len == 0) {
    AddMessage("Empty document");
    return false;
  }

  struct Open {
    int index;
    int lastChild;
  };
  std::vector<Open> open;
  int topLastChild = 0;
  auto link = [&](int element) {
    int parent = open.empty() ? 0 : open.back().index;
    int& lastChild = open.empty() ? topLastChild : open.back().lastChild;
    ElementRecord& r = Rec(element);
    r.iElemParent = parent;
    r.iElemPrev = lastChild;
    if (lastChild != 0) {
      Rec(lastChild).iElemNext = element;
    } else {
      Rec(parent).iElemChild = element;
    }
    lastChild = element;
  };
  auto name = [&](int element) { return std::string(TagName(element)); };

  const std::string_view doc(m_doc);
  size_t pos = 0;
  while (pos < len) {
    const size_t lt = doc.find('<', pos);
    if (lt == std::string_view::npos) break;
    pos = lt;
    const int at = static_cast<int>(pos);
    if (pos + 1 >= len) {
      AddMessage(Format("tag at offset %d unterminated", at));
      break;
    }
    const char c = doc[pos + 1];
    if (IsNameStart(c)) {
      size_t nameEnd = pos + 1;
      while (nameEnd < len && !IsNameEnd(doc[nameEnd])) ++nameEnd;
      size_t p = nameEnd;
      bool closed = false;
      while (p < len) {
        const char ch = doc[p];
        if (ch == '>') {
          closed = true;
          break;
        }
        if (ch == '"' || ch == '\'') {
          const size_t q = doc.find(ch, p + 1);
          if (q == std::string_view::npos) break;
          p = q + 1;
        } else {
          ++p;
        }
      }
      if (!closed) {
        AddMessage(Format("Element tag at offset %d unterminated", at));
        break;
      }
      const size_t tagEnd = p + 1;
      const int element = NewElement();
      {
        ElementRecord& r = Rec(element);
        r.nStart = at;
        r.nStartTagLen = static_cast<int>(tagEnd - pos);
      }
      link(element);
      if (doc[p - 1] == '/') {
        Rec(element).nLength = Rec(element).nStartTagLen;
        Rec(element).nFlags |= ELEM_EMPTY;
      } else {
        open.push_back({element, 0});
      }
      pos = tagEnd;
    } else if (c == '/') {
      const size_t gt = doc.find('>', pos + 2);
      if (gt == std::string_view::npos) {
        AddMessage(Format("Element end tag at offset %d unterminated", at));
        break;
      }
      size_t nameEnd = pos + 2;
      while (nameEnd < gt && !IsBlank(doc[nameEnd])) ++nameEnd;
      const std::string_view endName = doc.substr(pos + 2, nameEnd - (pos + 2));
      const size_t end = gt + 1;
      auto close = [&](int element) {
        ElementRecord& r = Rec(element);
        r.nLength = static_cast<int>(end - static_cast<size_t>(r.nStart));
        r.nEndTagLen = static_cast<int>(end - pos);
      };
      if (open.empty()) {
        AddMessage(Format("No start tag for end tag '%.*s' at offset %d", static_cast<int>(endName.size()),
                          endName.data(), at));
      } else if (TagName(open.back().index) == endName) {
        close(open.back().index);
        open.pop_back();
      } else {
        size_t match = open.size() - 1;
        while (match > 0 && TagName(open[match - 1].index) != endName) --match;
        if (match > 0) {
          // An enclosing element ends here: the ones opened inside it never got their end
          // tags, and they end where it does.
          for (size_t k = match; k < open.size(); ++k) {
            ElementRecord& r = Rec(open[k].index);
            r.nFlags |= ELEM_NOT_ENDED;
            r.nLength = at - r.nStart;
            AddMessage(Format("Element '%s' at offset %d not ended", name(open[k].index).c_str(), r.nStart));
          }
          open.resize(match);
          close(open.back().index);
          open.pop_back();
        } else {
          // No open element has this name: take it as a misspelt end of the innermost one.
          const int inner = open.back().index;
          AddMessage(Format("End tag '%.*s' at offset %d does not match start tag '%s' at offset %d",
                            static_cast<int>(endName.size()), endName.data(), at, name(inner).c_str(),
                            Rec(inner).nStart));
          close(inner);
          open.pop_back();
        }
      }
      pos = end;
    } else if (c == '!') {
      if (pos + 2 >= len) {
        AddMessage(Format("tag at offset %d unterminated", at));
        break;
      }
      const char c2 = doc[pos + 2];
      if (c2 == '-') {
        if (pos + 3 >= len) {
          AddMessage(Format("Comment at offset %d unterminated", at));
          break;
        }
        if (doc[pos + 3] != '-') {
          AddMessage(Format("Incorrect %s at offset %d", "comment tag", at));
          pos += 1;
          continue;
        }
        const size_t end = doc.find("-->", pos + 4);
        if (end == std::string_view::npos) {
          AddMessage(Format("Comment at offset %d unterminated", at));
          break;
        }
        pos = end + 3;
      } else if (c2 == '[') {
        const std::string_view cdata = "CDATA[";
        const std::string_view rest = doc.substr(pos + 3, cdata.size());
        if (rest.size() < cdata.size() && cdata.substr(0, rest.size()) == rest) {
          AddMessage(Format("tag at offset %d unterminated", at));
          break;
        }
        if (rest != cdata) {
          AddMessage(Format("Incorrect %s at offset %d", "tag", at));
          pos += 1;
          continue;
        }
        const size_t end = doc.find("]]>", pos + 9);
        if (end == std::string_view::npos) {
          AddMessage(Format("CDATA Section at offset %d unterminated", at));
          break;
        }
        pos = end + 3;
      } else if (c2 == 'D') {
        // Quotes and an internal subset in brackets may hold ">".
        size_t p = pos + 2;
        bool inSubset = false;
        bool closed = false;
        while (p < len) {
          const char ch = doc[p];
          if (ch == '"' || ch == '\'') {
            const size_t q = doc.find(ch, p + 1);
            if (q == std::string_view::npos) break;
            p = q + 1;
            continue;
          }
          if (ch == '[') inSubset = true;
          if (ch == ']') inSubset = false;
          if (ch == '>' && !inSubset) {
            closed = true;
            break;
          }
          ++p;
        }
        if (!closed) {
          AddMessage(Format("Doctype at offset %d unterminated", at));
          break;
        }
        pos = p + 1;
      } else {
        AddMessage(Format("Incorrect %s at offset %d", "! tag", at));
        pos += 1;
      }
    } else if (c == '?') {
      const size_t end = doc.find("?>", pos + 2);
      if (end == std::string_view::npos) {
        AddMessage(Format("Processing instruction at offset %d unterminated", at));
        break;
      }
      pos = end + 2;
    } else {
      AddMessage(Format("Incorrect %s at offset %d", "tag name character", at));
      pos += 1;
    }
  }

  for (const Open& o : open) {
    ElementRecord& r = Rec(o.index);
    r.nFlags |= ELEM_NOT_ENDED;
    r.nLength = static_cast<int>(len) - r.nStart;
    AddMessage(Format("Element '%s' at offset %d not ended", name(o.index).c_str(), r.nStart));
  }

  const int root = Rec(0).iElemChild;
  if (root == 0) {
    AddMessage("No root element");
  } else if (Rec(root).iElemNext != 0) {
    AddMessage("Root element has sibling");
  }
  return IsWellFormed();
}

// ---------------------------------------------------------------------------------------
// Files

std::string CXmlDocument::GetDeclaredEncoding(std::string_view text) {
  size_t at = 0;
  if (StartsWith(text, 0, "\xEF\xBB\xBF")) at = 3;
  if (!StartsWith(text, at, "<?xml") || text.size() <= at + 5) return "";
  const char after = text[at + 5];
  if (!IsBlank(after) && after != '?') return "";
  const size_t end = text.find("?>", at + 5);
  if (end == std::string_view::npos) return "";
  const std::string_view decl = text.substr(at + 5, end - (at + 5));
  const size_t key = decl.find("encoding");
  if (key == std::string_view::npos) return "";
  size_t p = key + 8;
  while (p < decl.size() && IsBlank(decl[p])) ++p;
  if (p >= decl.size() || decl[p] != '=') return "";
  ++p;
  while (p < decl.size() && IsBlank(decl[p])) ++p;
  if (p >= decl.size() || (decl[p] != '"' && decl[p] != '\'')) return "";
  const size_t close = decl.find(decl[p], p + 1);
  if (close == std::string_view::npos) return "";
  return std::string(decl.substr(p + 1, close - p - 1));
}

namespace {

// The local multibyte code page is UTF-8 on this platform, so the conversions between it
// and UTF-8 are identities; only the result prefix tells whether one applied.
bool UsesUtf8(std::string_view text) {
  const std::string encoding = CXmlDocument::GetDeclaredEncoding(text);
  return encoding.empty() || strncasecmp(encoding.c_str(), "UTF-8", 5) == 0;
}

}  // namespace

bool CXmlDocument::LoadFromFile(const std::string& path) {
  m_doc.clear();
  m_result.clear();
  ResetIndex(8);

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    m_result = std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[65536];
  bool tooLarge = false;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      m_result = std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > kMaxDocumentSize) {
      tooLarge = true;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  if (tooLarge) {
    m_result = "File too large";
    Rec(0).nFlags |= ELEM_ERROR;
    return false;
  }

  const char* prefix = UsesUtf8(text) ? "UTF-8 " : "";
  m_doc = std::move(text);
  m_result = Format("%s%d bytes", prefix, static_cast<int>(m_doc.size()));
  return Parse();
}

bool CXmlDocument::SaveToFile(const std::string& path) {
  const char* prefix = UsesUtf8(m_doc) ? "UTF-8 " : "";
  // A new document is private to the user: documents may hold passwords.
  if (!platform::ReplaceFileAtomically(path, m_doc, 0600)) {
    m_result = std::strerror(errno);
    return false;
  }
  m_result = Format("%s%d bytes", prefix, static_cast<int>(m_doc.size()));
  return true;
}

// ---------------------------------------------------------------------------------------
// Navigation

void CXmlDocument::ResetPosition() {
  m_iPosParent = 0;
  m_iPos = 0;
  m_iPosChild = 0;
  ClearNode();
}

bool CXmlDocument::FindNextElement(const char* name) {
  int i;
  if (m_nodeType != 0) {
    const size_t after = m_nodeOffset + m_nodeLength;
    i = Rec(m_iPosParent).iElemChild;
    while (i != 0 && static_cast<size_t>(Rec(i).nStart) < after) i = Rec(i).iElemNext;
  } else if (m_iPos != 0) {
    i = Rec(m_iPos).iElemNext;
  } else {
    i = Rec(m_iPosParent).iElemChild;
  }
  const bool any = name == nullptr || name[0] == '\0';
  while (i != 0 && !any && TagName(i) != name) i = Rec(i).iElemNext;
  if (i == 0) return false;
  m_iPos = i;
  m_iPosChild = 0;
  ClearNode();
  return true;
}

bool CXmlDocument::EnterElement() {
  if (m_iPos == 0 || m_nodeType != 0) return false;
  m_iPosParent = m_iPos;
  m_iPos = m_iPosChild;
  m_iPosChild = 0;
  return true;
}

bool CXmlDocument::LeaveElement() {
  if (m_iPosParent == 0) return false;
  m_iPosChild = m_nodeType != 0 ? 0 : m_iPos;
  m_iPos = m_iPosParent;
  m_iPosParent = Rec(m_iPosParent).iElemParent;
  ClearNode();
  return true;
}

// ---------------------------------------------------------------------------------------
// Queries

std::string CXmlDocument::GetElementName() const {
  switch (m_nodeType) {
    case 0:
      return m_iPos != 0 ? std::string(TagName(m_iPos)) : std::string();
    case MNT_TEXT:
    case MNT_WHITESPACE:
      return "#text";
    case MNT_CDATA_SECTION:
      return "#cdata-section";
    case MNT_COMMENT:
      return "#comment";
    case MNT_PROCESSING_INSTRUCTION: {
      size_t end = m_nodeOffset + 2;
      const size_t limit = m_nodeOffset + m_nodeLength - 2;
      while (end < limit && !IsBlank(m_doc[end])) ++end;
      return m_doc.substr(m_nodeOffset + 2, end - (m_nodeOffset + 2));
    }
    default:
      return "";
  }
}

bool CXmlDocument::FindAttribute(int i, std::string_view name, size_t* valueStart, size_t* valueLength,
                                 bool* quoted, size_t* nameEnd) const {
  const ElementRecord& r = Rec(i);
  const std::string_view doc(m_doc);
  size_t p = static_cast<size_t>(r.nStart) + 1 + TagName(i).size();
  // The attributes lie before the closing ">" (or "/>").
  size_t end = static_cast<size_t>(r.nStart) + static_cast<size_t>(r.nStartTagLen) - 1;
  if ((r.nFlags & ELEM_EMPTY) != 0 && end > p) --end;
  while (p < end) {
    while (p < end && IsBlank(doc[p])) ++p;
    if (p >= end) break;
    const char c = doc[p];
    if (c == '"' || c == '\'') {  // stray quoted text without a name
      const size_t q = doc.find(c, p + 1);
      if (q == std::string_view::npos || q >= end) break;
      p = q + 1;
      continue;
    }
    const size_t attrStart = p;
    while (p < end && !IsBlank(doc[p]) && doc[p] != '=' && doc[p] != '"' && doc[p] != '\'') ++p;
    if (p == attrStart) {  // a stray "="
      ++p;
      continue;
    }
    const std::string_view attrName = doc.substr(attrStart, p - attrStart);
    const size_t attrNameEnd = p;
    size_t q = p;
    while (q < end && IsBlank(doc[q])) ++q;
    size_t vStart = std::string_view::npos;
    size_t vLength = 0;
    bool vQuoted = false;
    if (q < end && doc[q] == '=') {
      ++q;
      while (q < end && IsBlank(doc[q])) ++q;
      const size_t close =
          q < end && (doc[q] == '"' || doc[q] == '\'') ? doc.find(doc[q], q + 1) : std::string_view::npos;
      if (close != std::string_view::npos && close < end) {
        vStart = q + 1;
        vLength = close - vStart;
        vQuoted = true;
        p = close + 1;
      } else {
        // Unquoted: the value runs to a blank or a quote. Stopping at quotes keeps every
        // quote paired the way the parser paired it, so a replaced value never unbalances
        // the tag.
        size_t v = q;
        while (v < end && !IsBlank(doc[v]) && doc[v] != '"' && doc[v] != '\'') ++v;
        vStart = q;
        vLength = v - q;
        p = v;
      }
    }
    if (attrName == name) {
      *valueStart = vStart;
      *valueLength = vLength;
      *quoted = vQuoted;
      *nameEnd = attrNameEnd;
      return true;
    }
  }
  return false;
}

std::string CXmlDocument::GetAttribute(const char* name) const {
  if (m_iPos == 0 || m_nodeType != 0 || name == nullptr || name[0] == '\0') return "";
  size_t start = 0;
  size_t length = 0;
  bool quoted = false;
  size_t nameEnd = 0;
  if (!FindAttribute(m_iPos, name, &start, &length, &quoted, &nameEnd) || start == std::string::npos) return "";
  return UnescapeText(std::string_view(m_doc).substr(start, length));
}

std::string CXmlDocument::GetElementText() const {
  const std::string_view doc(m_doc);
  if (m_nodeType != 0) {
    const std::string_view node = doc.substr(m_nodeOffset, m_nodeLength);
    switch (m_nodeType) {
      case MNT_TEXT:
      case MNT_WHITESPACE:
        return UnescapeText(node);
      case MNT_CDATA_SECTION:
        return std::string(node.substr(9, node.size() - 12));
      case MNT_COMMENT:
        return std::string(node.substr(4, node.size() - 7));
      case MNT_PROCESSING_INSTRUCTION:
        return std::string(node.substr(2, node.size() - 4));
      default:
        return "";
    }
  }
  if (m_iPos == 0) return "";
  const ElementRecord& r = Rec(m_iPos);
  if (r.iElemChild != 0 || (r.nFlags & ELEM_EMPTY) != 0) return "";
  const int begin = r.nStart + r.nStartTagLen;
  const int end = r.nStart + r.nLength - r.nEndTagLen;
  if (end <= begin) return "";
  const std::string_view content = doc.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
  if (content.find('<') == std::string_view::npos) return UnescapeText(content);

  std::string out;
  size_t p = 0;
  while (p < content.size()) {
    const size_t lt = content.find('<', p);
    if (lt == std::string_view::npos) {
      out += UnescapeText(content.substr(p));
      break;
    }
    out += UnescapeText(content.substr(p, lt - p));
    size_t next = std::string_view::npos;
    if (StartsWith(content, lt, "<![CDATA[")) {
      const size_t close = content.find("]]>", lt + 9);
      if (close != std::string_view::npos) {
        out += content.substr(lt + 9, close - (lt + 9));
        next = close + 3;
      }
    } else if (StartsWith(content, lt, "<!--")) {
      const size_t close = content.find("-->", lt + 4);
      if (close != std::string_view::npos) next = close + 3;
    } else if (StartsWith(content, lt, "<?")) {
      const size_t close = content.find("?>", lt + 2);
      if (close != std::string_view::npos) next = close + 2;
    } else {
      const size_t close = content.find('>', lt + 1);  // stray markup such as a lone end tag
      if (close != std::string_view::npos) next = close + 1;
    }
    if (next == std::string_view::npos) break;
    p = next;
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Edits

void CXmlDocument::Splice(size_t offset, size_t removeLength, std::string_view insert, int affected) {
  const int delta = static_cast<int>(insert.size()) - static_cast<int>(removeLength);
  m_doc.replace(offset, removeLength, insert);
  const size_t shiftFrom = offset + removeLength;
  for (int i = 1; i < m_elementCount; ++i) {
    ElementRecord& r = Rec(i);
    if (static_cast<size_t>(r.nStart) >= shiftFrom) r.nStart += delta;
  }
  // The affected element and its ancestors enclose the change. Parents always precede
  // their children in the index, so the walk ends at the document entry.
  for (int a = affected;; a = Rec(a).iElemParent) {
    Rec(a).nLength += delta;
    if (a == 0) break;
  }
  if (m_nodeType != 0 && m_nodeOffset >= shiftFrom) m_nodeOffset += static_cast<size_t>(static_cast<long>(delta));
}

bool CXmlDocument::MakeRoomForChild(int parent) {
  if (parent == 0 || (Rec(parent).nFlags & ELEM_EMPTY) == 0) return true;
  const ElementRecord& r = Rec(parent);
  const size_t slash = static_cast<size_t>(r.nStart + r.nStartTagLen - 2);
  if (m_doc.compare(slash, 2, "/>") != 0) return false;
  const std::string name(TagName(parent));
  const std::string replacement = "></" + name + ">";
  if (m_doc.size() + replacement.size() > kMaxDocumentSize) return false;
  Splice(slash, 2, replacement, parent);
  ElementRecord& w = Rec(parent);
  w.nStartTagLen -= 1;
  w.nEndTagLen = static_cast<int>(name.size()) + 3;
  w.nFlags &= ~static_cast<uint32_t>(ELEM_EMPTY);
  return true;
}

size_t CXmlDocument::InsertionPoint(int* parent, int* prev) const {
  *parent = m_iPosParent;
  size_t offset;
  if (m_nodeType != 0) {
    offset = m_nodeOffset + m_nodeLength;
    *prev = 0;
    for (int i = Rec(*parent).iElemChild; i != 0 && static_cast<size_t>(Rec(i).nStart) < offset;
         i = Rec(i).iElemNext) {
      *prev = i;
    }
  } else if (m_iPos != 0) {
    *prev = m_iPos;
    offset = static_cast<size_t>(Rec(m_iPos).nStart) + static_cast<size_t>(Rec(m_iPos).nLength);
  } else {
    *prev = LastChild(*parent);
    if (*prev != 0) {
      offset = static_cast<size_t>(Rec(*prev).nStart) + static_cast<size_t>(Rec(*prev).nLength);
    } else {
      const ElementRecord& p = Rec(*parent);
      // The end of the parent's content: before its end tag, or the end of the text.
      offset = *parent == 0 ? m_doc.size() : static_cast<size_t>(p.nStart + p.nLength - p.nEndTagLen);
      return offset;
    }
  }
  return offset;
}

bool CXmlDocument::AppendElement(const char* name, const char* text) {
  if (!IsValidName(name)) return false;
  const bool hasText = text != nullptr && text[0] != '\0';
  const std::string escaped = hasText ? EscapeText(text, false) : std::string();
  const size_t nameLength = std::strlen(name);
  if (m_doc.size() + escaped.size() + 2 * nameLength + 64 > kMaxDocumentSize) return false;
  if (m_iPos == 0 && m_nodeType == 0 && Rec(m_iPosParent).iElemChild == 0 && !MakeRoomForChild(m_iPosParent)) {
    return false;
  }

  int parent = 0;
  int prev = 0;
  size_t offset = InsertionPoint(&parent, &prev);
  // Each element sits on a line of its own: after the line end that follows its
  // predecessor, and starting a new line when the predecessor ends mid-line.
  if (prev != 0 || m_nodeType != 0) {
    if (StartsWith(m_doc, offset, "\r\n")) {
      offset += 2;
    } else if (StartsWith(m_doc, offset, "\n")) {
      offset += 1;
    }
  }
  const std::string prefix = offset > 0 && m_doc[offset - 1] != '\n' ? "\r\n" : "";
  std::string element = "<" + std::string(name);
  int startTagLength;
  int endTagLength = 0;
  if (hasText) {
    element += ">";
    startTagLength = static_cast<int>(element.size());
    element += escaped;
    const std::string endTag = "</" + std::string(name) + ">";
    element += endTag;
    endTagLength = static_cast<int>(endTag.size());
  } else {
    element += "/>";
    startTagLength = static_cast<int>(element.size());
  }
  Splice(offset, 0, prefix + element + "\r\n", parent);

  const int added = NewElement();
  ElementRecord& r = Rec(added);
  r.nStart = static_cast<int>(offset + prefix.size());
  r.nLength = static_cast<int>(element.size());
  r.nStartTagLen = startTagLength;
  r.nEndTagLen = endTagLength;
  r.nFlags = hasText ? 0u : static_cast<uint32_t>(ELEM_EMPTY);
  r.iElemParent = parent;
  r.iElemPrev = prev;
  r.iElemNext = prev != 0 ? Rec(prev).iElemNext : Rec(parent).iElemChild;
  if (r.iElemNext != 0) Rec(r.iElemNext).iElemPrev = added;
  if (prev != 0) {
    Rec(prev).iElemNext = added;
  } else {
    Rec(parent).iElemChild = added;
  }
  m_iPos = added;
  m_iPosChild = 0;
  ClearNode();
  return true;
}

bool CXmlDocument::AppendNode(int nodeType, const char* text) {
  const std::string_view body = text != nullptr ? text : "";
  std::string markup;
  bool ownLine = false;
  switch (nodeType) {
    case MNT_TEXT:
      markup = EscapeText(body, false);
      break;
    case MNT_WHITESPACE:
      if (std::any_of(body.begin(), body.end(), [](char c) { return !IsBlank(c); })) return false;
      markup = body;
      break;
    case MNT_CDATA_SECTION:
      if (body.find("]]>") != std::string_view::npos) return false;
      markup = "<![CDATA[" + std::string(body) + "]]>";
      break;
    case MNT_PROCESSING_INSTRUCTION:
      if (body.find("?>") != std::string_view::npos) return false;
      markup = "<?" + std::string(body) + "?>";
      ownLine = true;
      break;
    case MNT_COMMENT:
      if (body.find("-->") != std::string_view::npos || (!body.empty() && body.back() == '-')) return false;
      markup = "<!--" + std::string(body) + "-->";
      ownLine = true;
      break;
    case MNT_DOCUMENT_TYPE:
      if (body.find_first_of("<>[]\"'") != std::string_view::npos) return false;
      markup = "<!DOCTYPE " + std::string(body) + ">";
      ownLine = true;
      break;
    default:
      return false;
  }
  if (markup.empty()) return false;
  if (m_doc.size() + markup.size() + 4 > kMaxDocumentSize) return false;
  if (m_iPos == 0 && m_nodeType == 0 && Rec(m_iPosParent).iElemChild == 0 && !MakeRoomForChild(m_iPosParent)) {
    return false;
  }

  int parent = 0;
  int prev = 0;
  size_t offset = InsertionPoint(&parent, &prev);
  std::string prefix;
  std::string suffix;
  if (ownLine) {
    if (prev != 0 || m_nodeType != 0) {
      if (StartsWith(m_doc, offset, "\r\n")) {
        offset += 2;
      } else if (StartsWith(m_doc, offset, "\n")) {
        offset += 1;
      }
    }
    if (offset > 0 && m_doc[offset - 1] != '\n') prefix = "\r\n";
    suffix = "\r\n";
  }
  Splice(offset, 0, prefix + markup + suffix, parent);
  m_iPos = prev;
  m_iPosChild = 0;
  m_nodeType = nodeType;
  m_nodeOffset = offset + prefix.size();
  m_nodeLength = markup.size();
  return true;
}

bool CXmlDocument::SetAttribute(const char* name, const char* value) {
  if (m_iPos == 0 || m_nodeType != 0 || !IsValidName(name)) return false;
  const std::string quoted = "\"" + EscapeText(value != nullptr ? value : "", true) + "\"";
  if (m_doc.size() + quoted.size() + std::strlen(name) + 2 > kMaxDocumentSize) return false;
  size_t start = 0;
  size_t length = 0;
  bool wasQuoted = false;
  size_t nameEnd = 0;
  const int before = static_cast<int>(m_doc.size());
  if (FindAttribute(m_iPos, name, &start, &length, &wasQuoted, &nameEnd)) {
    if (start == std::string::npos) {
      Splice(nameEnd, 0, "=" + quoted, m_iPos);
    } else if (wasQuoted) {
      Splice(start - 1, length + 2, quoted, m_iPos);
    } else {
      Splice(start, length, quoted, m_iPos);
    }
  } else {
    const ElementRecord& r = Rec(m_iPos);
    const int close = (r.nFlags & ELEM_EMPTY) != 0 ? 2 : 1;
    const size_t at = static_cast<size_t>(r.nStart + r.nStartTagLen - close);
    Splice(at, 0, " " + std::string(name) + "=" + quoted, m_iPos);
  }
  Rec(m_iPos).nStartTagLen += static_cast<int>(m_doc.size()) - before;
  return true;
}

bool CXmlDocument::SetAttribute(const char* name, int value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%d", value);
  return SetAttribute(name, text);
}

// ---------------------------------------------------------------------------------------
// Escaping

std::string CXmlDocument::EscapeText(std::string_view text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\'':
        out += attribute ? "&apos;" : "'";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string CXmlDocument::UnescapeText(std::string_view text) {
  static constexpr struct {
    std::string_view entity;
    char character;
  } kNamed[] = {{"&lt;", '<'}, {"&amp;", '&'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    out += text.substr(i, amp - i);
    i = amp;
    bool replaced = false;
    for (const auto& named : kNamed) {
      if (StartsWith(text, amp, named.entity)) {
        out += named.character;
        i += named.entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced && StartsWith(text, amp, "&#")) {
      uint32_t code = 0;
      const size_t length = NumericReference(text, amp, &code);
      if (length != 0) {
        AppendUtf8(out, code);
        i += length;
        replaced = true;
      }
    }
    if (!replaced) {
      out += '&';
      ++i;
    }
  }
  return out;
}
