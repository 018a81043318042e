#include "config/xml_document.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "common/utf.h"

namespace oru {
namespace {

constexpr size_t kNone = XmlElementPos::kNone;
constexpr size_t kMaxMessages = 100;
constexpr size_t kMaxNameInMessage = 100;

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsNameStart(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
         c >= 0x80;
}

bool IsNameChar(char16_t c) {
  return IsNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
}

// Length of the name starting at pos; 0 when none starts there.
size_t NameLength(std::u16string_view text, size_t pos) {
  if (pos >= text.size() || !IsNameStart(text[pos])) return 0;
  size_t end = pos + 1;
  while (end < text.size() && IsNameChar(text[end])) ++end;
  return end - pos;
}

bool IsValidName(std::u16string_view name) {
  return !name.empty() && NameLength(name, 0) == name.size();
}

bool StartsAt(std::u16string_view text, size_t pos, std::u16string_view what) {
  return pos <= text.size() && text.substr(pos).starts_with(what);
}

size_t SkipSpaces(std::u16string_view text, size_t pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  return pos;
}

std::string NameForMessage(std::u16string_view name) {
  if (name.size() <= kMaxNameInMessage) return EncodeUtf8Lenient(name);
  return EncodeUtf8Lenient(name.substr(0, kMaxNameInMessage)) + "...";
}

void AppendCodePoint(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

int DigitValue(char16_t c, bool hex) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (!hex) return -1;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "&#65;" / "&#x42;": up to six digits, then ";". References to 0, to a
// surrogate or beyond U+10FFFF are no characters and stay as written.
size_t DecodeCharRef(std::u16string_view in, size_t amp, std::u16string& out) {
  const bool hex = amp + 2 < in.size() && in[amp + 2] == u'x';
  const size_t first = amp + (hex ? 3 : 2);
  char32_t value = 0;
  size_t i = first;
  for (; i < in.size() && i - first < 6; ++i) {
    const int digit = DigitValue(in[i], hex);
    if (digit < 0) break;
    value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
  }
  if (i == first || i >= in.size() || in[i] != u';') return 0;
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  AppendCodePoint(value, out);
  return i + 1 - amp;
}

// Decodes the reference at in[amp] == '&'; returns the units it takes, or 0
// when it is no known reference (the "&" then stays as written).
size_t DecodeReference(std::u16string_view in, size_t amp, std::u16string& out) {
  static constexpr std::pair<std::u16string_view, char16_t> kNamed[] = {
      {u"&lt;", u'<'}, {u"&amp;", u'&'}, {u"&gt;", u'>'}, {u"&apos;", u'\''}, {u"&quot;", u'"'}};
  for (const auto& [entity, ch] : kNamed) {
    if (StartsAt(in, amp, entity)) {
      out.push_back(ch);
      return entity.size();
    }
  }
  if (amp + 1 < in.size() && in[amp + 1] == u'#') return DecodeCharRef(in, amp, out);
  return 0;
}

void DecodeEntities(std::u16string_view in, std::u16string& out) {
  size_t pos = 0;
  while (pos < in.size()) {
    const size_t amp = in.find(u'&', pos);
    if (amp == std::u16string_view::npos) {
      out.append(in.substr(pos));
      return;
    }
    out.append(in.substr(pos, amp - pos));
    const size_t used = DecodeReference(in, amp, out);
    if (used == 0) out.push_back(u'&');
    pos = amp + (used == 0 ? 1 : used);
  }
}

std::u16string EscapeText(std::u16string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (char16_t c : in) {
    switch (c) {
      case u'<': out += u"&lt;"; break;
      case u'&': out += u"&amp;"; break;
      case u'>': out += u"&gt;"; break;
      case u'\'': out += u"&apos;"; break;
      case u'"': out += u"&quot;"; break;
      default: out.push_back(c); break;
    }
  }
  return out;
}

// One pass over the text that builds the element index. Nesting lives in an
// explicit stack, so hostile depth costs memory, not the call stack. Every
// step moves forward, so the pass is linear; mismatched end tags search the
// open elements, which the message cap bounds.
class Parser {
 public:
  Parser(std::u16string_view text, std::vector<XmlElementPos>& elems, std::string& result)
      : text_(text), elems_(elems), result_(result) {}

  void Run() {
    size_t pos = 0;
    while (!stopped_ && pos < text_.size()) {
      const size_t lt = text_.find(u'<', pos);
      if (lt == std::u16string_view::npos) break;
      pos = Markup(lt);
    }
    for (const Open& open : stack_) {
      elems_[open.elem].end_tag = text_.size();
      Error("Element '" + NameForMessage(NameOf(open.elem)) + "' at offset " +
            std::to_string(elems_[open.elem].start) + " not ended");
    }
    stack_.clear();
  }

  bool markup_error() const { return markup_error_; }
  bool root_has_sibling() const { return root_has_sibling_; }

 private:
  struct Open {
    size_t elem;
    size_t last_child;
  };

  size_t Markup(size_t lt) {
    if (lt + 1 >= text_.size()) return Unterminated("Element tag", lt);
    switch (text_[lt + 1]) {
      case u'/': return EndTag(lt);
      case u'?': return Skip(lt, u"?>", 2, "Processing instruction");
      case u'!': return Bang(lt);
      default: return StartTag(lt);
    }
  }

  // Skips a construct that ends at the first `terminator` after `from`.
  size_t Skip(size_t lt, std::u16string_view terminator, size_t from, const char* kind) {
    const size_t end = text_.find(terminator, lt + from);
    if (end == std::u16string_view::npos) return Unterminated(kind, lt);
    return end + terminator.size();
  }

  size_t Bang(size_t lt) {
    const char16_t third = lt + 2 < text_.size() ? text_[lt + 2] : u'\0';
    std::u16string_view keyword;
    const char* kind = "Element tag";
    if (third == u'-') {
      keyword = u"<!--";
      kind = "Comment";
    } else if (third == u'[') {
      keyword = u"<![CDATA[";
      kind = "CDATA Section";
    } else if (third == u'D') {
      keyword = u"<!DOCTYPE";
      kind = "Doctype";
    }
    if (!keyword.empty() && StartsAt(text_, lt, keyword)) {
      if (third == u'-') return Skip(lt, u"-->", 4, kind);
      if (third == u'[') return Skip(lt, u"]]>", 9, kind);
      if (!stack_.empty()) return Incorrect(kind, lt, lt + 2);  // only before the root
      return Doctype(lt);
    }
    // "<!-" or "<![CDA" at the very end is the start of a construct cut off.
    const std::u16string_view rest = text_.substr(lt);
    const bool cut_off = keyword.empty() ? rest.size() <= 2
                                         : rest.size() < keyword.size() && keyword.starts_with(rest);
    if (cut_off) return Unterminated(kind, lt);
    return Incorrect(kind, lt, lt + 2);
  }

  // A doctype may hold an internal subset in brackets, quoted literals and
  // comments, any of which may contain ">".
  size_t Doctype(size_t lt) {
    bool subset = false;
    char16_t quote = 0;
    for (size_t i = lt + 9; i < text_.size(); ++i) {
      const char16_t c = text_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == u'"' || c == u'\'') {
        quote = c;
      } else if (subset && StartsAt(text_, i, u"<!--")) {
        const size_t end = text_.find(u"-->", i + 4);
        if (end == std::u16string_view::npos) break;
        i = end + 2;
      } else if (c == u'[' || c == u']') {
        subset = c == u'[';
      } else if (c == u'>' && !subset) {
        return i + 1;
      }
    }
    return Unterminated("Doctype", lt);
  }

  size_t StartTag(size_t lt) {
    const size_t name_len = NameLength(text_, lt + 1);
    if (name_len == 0) return Incorrect("Element tag", lt, lt + 1);
    size_t pos = lt + 1 + name_len;
    for (;;) {
      const size_t at = SkipSpaces(text_, pos);
      if (at >= text_.size()) return Unterminated("Element tag", lt);
      const char16_t c = text_[at];
      if (c == u'>') return OpenElement(lt, at + 1 - lt, name_len, false);
      if (c == u'/') {
        if (at + 1 >= text_.size()) return Unterminated("Element tag", lt);
        if (text_[at + 1] == u'>') return OpenElement(lt, at + 2 - lt, name_len, true);
        return Incorrect("Element tag", lt, at + 1);
      }
      if (at == pos || c == u'<') return Incorrect("Element tag", lt, at);
      pos = Attribute(lt, at);
      if (pos == kNone) return resume_;
    }
  }

  // Checks name="value" at pos; returns the position after it, or kNone
  // with resume_ set after an error.
  size_t Attribute(size_t lt, size_t pos) {
    const size_t name_len = NameLength(text_, pos);
    if (name_len == 0) return Fail(Incorrect("Element tag", lt, pos));
    pos = SkipSpaces(text_, pos + name_len);
    if (pos >= text_.size()) return Fail(Unterminated("Element tag", lt));
    if (text_[pos] != u'=') return Fail(Incorrect("Element tag", lt, pos));
    pos = SkipSpaces(text_, pos + 1);
    if (pos >= text_.size()) return Fail(Unterminated("Element tag", lt));
    const char16_t quote = text_[pos];
    if (quote != u'"' && quote != u'\'') return Fail(Incorrect("Element tag", lt, pos));
    size_t end = pos + 1;
    while (end < text_.size() && text_[end] != quote && text_[end] != u'<') ++end;
    if (end >= text_.size()) return Fail(Unterminated("Element tag", lt));
    if (text_[end] == u'<') return Fail(Incorrect("Element tag", lt, end));
    return end + 1;
  }

  size_t Fail(size_t resume) {
    resume_ = resume;
    return kNone;
  }

  size_t OpenElement(size_t lt, size_t tag_len, size_t name_len, bool empty) {
    if (stack_.empty() && !elems_.empty() && !root_has_sibling_) {
      root_has_sibling_ = true;
      Message("Root element has sibling");
    }
    const size_t index = elems_.size();
    XmlElementPos& e = elems_.emplace_back();
    e.start = lt;
    e.start_len = tag_len;
    e.name_len = name_len;
    e.end_tag = lt + tag_len;
    Link(index);
    if (!empty) stack_.push_back({index, kNone});
    return lt + tag_len;
  }

  void Link(size_t index) {
    if (stack_.empty()) {
      if (top_last_ != kNone) elems_[top_last_].next_sibling = index;
      top_last_ = index;
      return;
    }
    Open& parent = stack_.back();
    elems_[index].parent = parent.elem;
    if (parent.last_child == kNone) {
      elems_[parent.elem].first_child = index;
    } else {
      elems_[parent.last_child].next_sibling = index;
    }
    parent.last_child = index;
  }

  size_t EndTag(size_t lt) {
    const size_t name_len = NameLength(text_, lt + 2);
    if (name_len == 0) {
      if (lt + 2 >= text_.size()) return Unterminated("Element end tag", lt);
      return Incorrect("Element end tag", lt, lt + 2);
    }
    const size_t at = SkipSpaces(text_, lt + 2 + name_len);
    if (at >= text_.size()) return Unterminated("Element end tag", lt);
    if (text_[at] != u'>') return Incorrect("Element end tag", lt, at);
    Close(text_.substr(lt + 2, name_len), lt, at + 1 - lt);
    return at + 1;
  }

  void Close(std::u16string_view name, size_t lt, size_t tag_len) {
    if (stack_.empty()) {
      Error("No start tag for end tag '" + NameForMessage(name) + "' at offset " +
            std::to_string(lt));
      return;
    }
    const size_t top = stack_.back().elem;
    if (NameOf(top) != name) {
      Error("End tag '" + NameForMessage(name) + "' at offset " + std::to_string(lt) +
            " does not match start tag '" + NameForMessage(NameOf(top)) + "' at offset " +
            std::to_string(elems_[top].start));
      if (stopped_) return;
    }
    // Close the innermost open element of that name, and whatever is open
    // inside it; an end tag matching nothing open is dropped.
    for (size_t depth = stack_.size(); depth-- > 0;) {
      if (NameOf(stack_[depth].elem) != name) continue;
      for (size_t i = depth; i < stack_.size(); ++i) elems_[stack_[i].elem].end_tag = lt;
      elems_[stack_[depth].elem].end_len = tag_len;
      stack_.resize(depth);
      return;
    }
  }

  std::u16string_view NameOf(size_t elem) const {
    return text_.substr(elems_[elem].start + 1, elems_[elem].name_len);
  }

  size_t Unterminated(const char* kind, size_t lt) {
    Error(std::string(kind) + " at offset " + std::to_string(lt) + " unterminated");
    stopped_ = true;  // the construct runs to the end of the text
    return text_.size();
  }

  size_t Incorrect(const char* kind, size_t lt, size_t resume) {
    Error(std::string("Incorrect ") + kind + " at offset " + std::to_string(lt));
    return resume;
  }

  void Error(const std::string& message) {
    markup_error_ = true;
    Message(message);
  }

  void Message(const std::string& message) {
    if (messages_ >= kMaxMessages) {
      stopped_ = true;
      return;
    }
    if (!result_.empty()) result_ += ", ";
    result_ += message;
    if (++messages_ == kMaxMessages) stopped_ = true;
  }

  std::u16string_view text_;
  std::vector<XmlElementPos>& elems_;
  std::string& result_;
  std::vector<Open> stack_;
  size_t top_last_ = kNone;
  size_t resume_ = 0;
  size_t messages_ = 0;
  bool stopped_ = false;
  bool markup_error_ = false;
  bool root_has_sibling_ = false;
};

std::string TempSuffix() {
  static std::atomic<unsigned> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  const size_t thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  return ".~tmp" + std::to_string(now) + "-" + std::to_string(thread % 100000) + "-" +
         std::to_string(counter.fetch_add(1));
}

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

bool ReadBytes(const std::filesystem::path& path, std::string& bytes, std::string& error) {
  std::error_code ec;
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ec)) {
    error = "Unable to open file";
    return false;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec) bytes.reserve(static_cast<size_t>(size));
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    error = "Unable to read file";
    return false;
  }
  return true;
}

}  // namespace

bool XmlDocument::ReadTextFile(const std::filesystem::path& path, std::u16string& doc,
                               std::string& result) {
  doc.clear();
  result.clear();
  std::string bytes;
  if (!ReadBytes(path, bytes, result)) return false;
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  const bool bom = std::string_view(bytes).starts_with(kBom);
  doc = DecodeUtf8Lenient(std::string_view(bytes).substr(bom ? kBom.size() : 0));
  result = std::string(bom ? "UTF-8 BOM " : "UTF-8 ") + std::to_string(bytes.size()) +
           " bytes to " + std::to_string(doc.size()) + " wide chars";
  return true;
}

bool XmlDocument::WriteTextFile(const std::filesystem::path& path, std::u16string_view doc,
                                std::string& result) {
  const std::string bytes = EncodeUtf8Lenient(doc);
  std::filesystem::path temp = path;
  temp += TempSuffix();
  std::error_code ec;
  if (!WriteBytes(temp, bytes)) {
    std::filesystem::remove(temp, ec);
    result = "Unable to write file";
    return false;
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    result = "Unable to write file";
    return false;
  }
  result = std::to_string(doc.size()) + " wide chars to UTF-8 " + std::to_string(bytes.size()) +
           " bytes";
  return true;
}

bool XmlDocument::Load(const std::filesystem::path& path) {
  std::u16string text;
  std::string read_result;
  const bool read = ReadTextFile(path, text, read_result);
  doc_ = std::move(text);
  result_ = std::move(read_result);
  if (!read) {
    elems_.clear();
    ResetPos();
    well_formed_ = false;
    markup_error_ = false;
    return false;
  }
  return Parse();
}

bool XmlDocument::Save(const std::filesystem::path& path) {
  return WriteTextFile(path, doc_, result_);
}

bool XmlDocument::SetDoc(std::u16string_view doc) {
  doc_.assign(doc);
  result_.clear();
  return Parse();
}

bool XmlDocument::SetDoc(std::string_view utf8_doc) {
  doc_ = DecodeUtf8Lenient(utf8_doc);
  result_.clear();
  return Parse();
}

bool XmlDocument::Parse() {
  elems_.clear();
  ResetPos();
  well_formed_ = false;
  markup_error_ = false;
  auto note = [this](const char* message) {
    if (!result_.empty()) result_ += ", ";
    result_ += message;
  };
  if (doc_.empty()) {
    note("Empty document");
    return false;
  }
  Parser parser(doc_, elems_, result_);
  parser.Run();
  markup_error_ = parser.markup_error();
  if (elems_.empty()) note("No root element");
  well_formed_ = !elems_.empty() && !parser.root_has_sibling() && !markup_error_;
  return well_formed_;
}

std::string XmlDocument::GetDocUtf8() const { return EncodeUtf8Lenient(doc_); }

void XmlDocument::ResetPos() {
  parent_ = kNone;
  current_ = kNone;
  child_ = kNone;
}

std::u16string_view XmlDocument::NameOf(size_t elem) const {
  return std::u16string_view(doc_).substr(elems_[elem].start + 1, elems_[elem].name_len);
}

size_t XmlDocument::FirstChildOf(size_t parent) const {
  if (parent != kNone) return elems_[parent].first_child;
  return elems_.empty() ? kNone : 0;  // the root is always the first entry
}

bool XmlDocument::FindAmong(size_t first, size_t after, std::u16string_view name,
                            size_t& found) const {
  size_t e = after == kNone ? first : elems_[after].next_sibling;
  for (; e != kNone; e = elems_[e].next_sibling) {
    if (name.empty() || NameOf(e) == name) {
      found = e;
      return true;
    }
  }
  return false;
}

bool XmlDocument::FindElem(std::string_view name) {
  if (!well_formed_) return false;
  size_t found = kNone;
  if (!FindAmong(FirstChildOf(parent_), current_, DecodeUtf8Lenient(name), found)) return false;
  current_ = found;
  child_ = kNone;
  return true;
}

bool XmlDocument::FindElem(const char* name) {
  return FindElem(name == nullptr ? std::string_view() : std::string_view(name));
}

bool XmlDocument::FindChildElem(std::string_view name) {
  if (!well_formed_) return false;
  if (current_ == kNone && !FindElem()) return false;
  size_t found = kNone;
  if (!FindAmong(elems_[current_].first_child, child_, DecodeUtf8Lenient(name), found)) {
    return false;
  }
  child_ = found;
  return true;
}

bool XmlDocument::FindChildElem(const char* name) {
  return FindChildElem(name == nullptr ? std::string_view() : std::string_view(name));
}

bool XmlDocument::IntoElem() {
  if (current_ == kNone) return false;
  parent_ = current_;
  current_ = child_;
  child_ = kNone;
  return true;
}

bool XmlDocument::OutOfElem() {
  if (parent_ == kNone) return false;
  child_ = current_;
  current_ = parent_;
  parent_ = elems_[parent_].parent;
  return true;
}

std::string XmlDocument::GetTagName() const {
  return current_ == kNone ? std::string() : EncodeUtf8Lenient(NameOf(current_));
}

std::string XmlDocument::GetData() const {
  return current_ == kNone ? std::string() : DataOf(current_);
}

std::string XmlDocument::GetChildData() const {
  return child_ == kNone ? std::string() : DataOf(child_);
}

// The element's own character data: CDATA literally, comments and PIs
// dropped, child elements skipped over by their index entries.
std::string XmlDocument::DataOf(size_t elem) const {
  const std::u16string_view text(doc_);
  const XmlElementPos& e = elems_[elem];
  const size_t end = e.end_tag;
  size_t pos = e.start + e.start_len;
  size_t child = e.first_child;
  std::u16string data;
  while (pos < end) {
    size_t lt = text.find(u'<', pos);
    if (lt == std::u16string_view::npos || lt > end) lt = end;
    DecodeEntities(text.substr(pos, lt - pos), data);
    if (lt >= end) break;
    size_t next = kNone;
    if (StartsAt(text, lt, u"<![CDATA[")) {
      const size_t close = text.find(u"]]>", lt + 9);
      if (close != std::u16string_view::npos) data.append(text.substr(lt + 9, close - lt - 9));
      next = close == std::u16string_view::npos ? kNone : close + 3;
    } else if (StartsAt(text, lt, u"<!--")) {
      const size_t close = text.find(u"-->", lt + 4);
      next = close == std::u16string_view::npos ? kNone : close + 3;
    } else if (StartsAt(text, lt, u"<?")) {
      const size_t close = text.find(u"?>", lt + 2);
      next = close == std::u16string_view::npos ? kNone : close + 2;
    } else {
      while (child != kNone && elems_[child].start < lt) child = elems_[child].next_sibling;
      if (child == kNone || elems_[child].start != lt) break;  // index and text disagree
      next = elems_[child].end_tag + elems_[child].end_len;
      child = elems_[child].next_sibling;
    }
    if (next == kNone || next <= pos) break;
    pos = next;
  }
  return EncodeUtf8Lenient(data);
}

std::string XmlDocument::GetAttrib(std::string_view name) const {
  if (current_ == kNone) return {};
  const std::u16string wanted = DecodeUtf8Lenient(name);
  const std::u16string_view text(doc_);
  const XmlElementPos& e = elems_[current_];
  const size_t end = e.start + e.start_len;
  size_t pos = e.start + 1 + e.name_len;
  for (;;) {
    pos = SkipSpaces(text, pos);
    const size_t name_len = NameLength(text, pos);
    if (pos >= end || name_len == 0) return {};
    const std::u16string_view attr = text.substr(pos, name_len);
    pos = SkipSpaces(text, pos + name_len);
    if (pos >= end || text[pos] != u'=') return {};
    pos = SkipSpaces(text, pos + 1);
    if (pos >= end) return {};
    const size_t close = text.find(text[pos], pos + 1);
    if (close == std::u16string_view::npos || close >= end) return {};
    if (attr == wanted) {
      std::u16string value;
      DecodeEntities(text.substr(pos + 1, close - pos - 1), value);
      return EncodeUtf8Lenient(value);
    }
    pos = close + 1;
  }
}

bool XmlDocument::CanBuild() const { return well_formed_ || (elems_.empty() && !markup_error_); }

bool XmlDocument::AddElem(std::string_view name, std::string_view value) {
  if (!CanBuild()) return false;
  if (parent_ == kNone && !elems_.empty()) return false;  // one root only
  size_t added = kNone;
  if (!Insert(parent_, current_, name, value, added)) return false;
  current_ = added;
  child_ = kNone;
  well_formed_ = true;
  return true;
}

bool XmlDocument::AddChildElem(std::string_view name, std::string_view value) {
  if (!well_formed_ || current_ == kNone) return false;
  size_t added = kNone;
  if (!Insert(current_, child_, name, value, added)) return false;
  child_ = added;
  return true;
}

bool XmlDocument::Insert(size_t parent, size_t after, std::string_view name,
                         std::string_view value, size_t& added) {
  const std::u16string wide_name = WideFromUtf8(name);
  if (!IsValidName(wide_name)) return false;
  const std::u16string content = EscapeText(DecodeUtf8Lenient(value));
  std::u16string markup = u"<" + wide_name;
  markup += content.empty() ? u"/>" : u">" + content + u"</" + wide_name + u">";

  if (after == kNone) {
    for (size_t e = FirstChildOf(parent); e != kNone; e = elems_[e].next_sibling) after = e;
  }
  size_t at = doc_.size();
  if (after != kNone) {
    at = elems_[after].end_tag + elems_[after].end_len;
  } else if (parent != kNone) {
    if (elems_[parent].end_len == 0) ExpandEmpty(parent);
    at = elems_[parent].end_tag;
  }
  ShiftFrom(at, markup.size());
  doc_.insert(at, markup);

  XmlElementPos e;
  e.start = at;
  e.name_len = wide_name.size();
  e.start_len = wide_name.size() + (content.empty() ? 3 : 2);
  e.end_tag = at + e.start_len + content.size();
  e.end_len = content.empty() ? 0 : wide_name.size() + 3;
  e.parent = parent;
  added = elems_.size();
  if (after != kNone) {
    e.next_sibling = elems_[after].next_sibling;
    elems_[after].next_sibling = added;
  } else if (parent != kNone) {
    elems_[parent].first_child = added;
  }
  elems_.push_back(e);
  return true;
}

// <a x="1"/> becomes <a x="1"></a> so that children can go inside.
void XmlDocument::ExpandEmpty(size_t elem) {
  const size_t tag_end = elems_[elem].start + elems_[elem].start_len;
  const std::u16string name(NameOf(elem));
  const std::u16string replacement = u"></" + name + u">";
  ShiftFrom(tag_end, replacement.size() - 2);
  doc_.replace(tag_end - 2, 2, replacement);
  XmlElementPos& e = elems_[elem];
  e.start_len -= 1;
  e.end_tag = e.start + e.start_len;
  e.end_len = name.size() + 3;
}

// Moves every index offset at or after `offset` by `delta` units; an
// empty-element tag's end follows its start.
void XmlDocument::ShiftFrom(size_t offset, size_t delta) {
  for (XmlElementPos& e : elems_) {
    if (e.start >= offset) e.start += delta;
    if (e.end_len == 0) {
      e.end_tag = e.start + e.start_len;
    } else if (e.end_tag >= offset) {
      e.end_tag += delta;
    }
  }
}

}  // namespace oru
