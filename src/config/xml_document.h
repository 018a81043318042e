#pragma once
// The one small XML document class behind every XML file and resource of the
// installer: holds the document text (UTF-16), an index of its elements and a
// navigation position; reads and writes files as UTF-8 without a BOM.
//
// Names and values in the interface are UTF-8; the text inside is UTF-16 and
// every offset in a message counts UTF-16 units. Nothing here throws, and
// hostile input (any bytes, any nesting depth) is handled in linear time.
//
// Navigation keeps three positions, all at the document level after SetDoc
// or ResetPos: the parent (whose children are searched), the current element
// (the last one FindElem found) and the current child (the last one
// FindChildElem found). Typical use:
//   doc.ResetPos();
//   if (doc.FindElem("Config") && doc.IntoElem()) {
//     while (doc.FindElem("Url_Down")) urls.push_back(doc.GetData());
//     doc.OutOfElem();
//   }

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

// One entry of the element index (offsets into the document text). Internal
// to XmlDocument; declared here only because the document holds a vector.
struct XmlElementPos {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  size_t start = 0;      // '<' of the start tag
  size_t start_len = 0;  // start tag length including '>' (or "/>")
  size_t name_len = 0;   // the name begins at start + 1
  size_t end_tag = 0;    // '<' of the end tag; start + start_len for <a/>
  size_t end_len = 0;    // 0 for an empty-element tag <a/>
  size_t parent = kNone;
  size_t first_child = kNone;
  size_t next_sibling = kNone;
};

class XmlDocument {
 public:
  XmlDocument() = default;

  // Reads the whole file as bytes and decodes it as UTF-8 ("?" for every bad
  // sequence; a leading UTF-8 byte-order mark is dropped). result receives
  // "UTF-8 <bytes> bytes to <chars> wide chars", with "UTF-8 BOM " as the
  // prefix when a byte-order mark was dropped; <bytes> counts every byte of
  // the file. Returns false (doc emptied, result "Unable to open file" or
  // "Unable to read file") when the file cannot be read.
  static bool ReadTextFile(const std::filesystem::path& path, std::u16string& doc,
                           std::string& result);

  // Encodes doc as UTF-8 without a byte-order mark (a lone surrogate becomes
  // "?") and replaces the file: the bytes go to a temporary file in the same
  // folder which is then renamed over path, so the old file stays whole if
  // anything fails. result receives "<chars> wide chars to UTF-8 <bytes>
  // bytes". Returns false (result "Unable to write file"; path untouched)
  // on any open, write or rename failure.
  static bool WriteTextFile(const std::filesystem::path& path, std::u16string_view doc,
                            std::string& result);

  // ReadTextFile + SetDoc. The result text is the read result followed by
  // the parse messages, joined by ", ". Returns false when the file cannot be
  // read (the document is then emptied) or is not well formed.
  bool Load(const std::filesystem::path& path);
  // WriteTextFile of GetDoc(); the result text becomes the write result.
  bool Save(const std::filesystem::path& path);

  // Takes the text as the document, parses it and resets the position.
  // Returns true when it is well formed (one root element, no markup
  // error); otherwise GetResult() holds the messages and every lookup finds
  // nothing. The UTF-8 overload decodes leniently ("?" for bad sequences).
  bool SetDoc(std::u16string_view doc);
  bool SetDoc(std::string_view utf8_doc);

  const std::u16string& GetDoc() const { return doc_; }
  // GetDoc() as UTF-8 (a lone surrogate becomes "?").
  std::string GetDocUtf8() const;
  // Messages of the last SetDoc/Load/Save, joined by ", "; empty when none.
  // At most 100 messages are kept (parsing stops there) and names in them
  // are cut to 100 characters plus "...".
  const std::string& GetResult() const { return result_; }
  bool IsWellFormed() const { return well_formed_; }

  // Back to the document level: no parent, current element or child.
  void ResetPos();

  // Finds the next element named name among the siblings after the current
  // element (from the first one when there is none) and makes it the current
  // element (the current child is cleared). An empty name or nullptr matches
  // any element. Names are compared exactly. Returns false, leaving the
  // position unchanged, when there is no such element.
  bool FindElem(std::string_view name = {});
  bool FindElem(const char* name);

  // The same among the children of the current element, after the current
  // child; the match becomes the current child. With no current element the
  // first element of the level becomes current first. Returns false when
  // nothing is found.
  bool FindChildElem(std::string_view name = {});
  bool FindChildElem(const char* name);

  // Makes the current element the parent and the current child the current
  // element. Returns false (nothing changes) when there is no current element.
  bool IntoElem();
  // Goes back to the parent's level: the parent becomes the current element
  // and the former current element the current child. Returns false at the
  // document level.
  bool OutOfElem();

  // Name of the current element; empty when there is none.
  std::string GetTagName() const;
  // Text content of the current element (or current child): its own
  // character data with entities decoded and CDATA sections taken literally;
  // child elements, comments and processing instructions are left out.
  // Empty when there is no such element.
  std::string GetData() const;
  std::string GetChildData() const;
  // Decoded value of the current element's attribute; empty when absent or
  // when there is no current element.
  std::string GetAttrib(std::string_view name) const;

  // Inserts <name>value</name> (or <name/> for an empty value) after the
  // current element at the current level, or after the level's last element
  // when there is no current element; it becomes the current element. The
  // value is escaped ("<", "&", ">", "'" and '"' become entities). Returns
  // false when name is not a valid element name, when the document did not
  // parse (an empty document or one without elements may be built on), or
  // when it would add a second top-level element.
  bool AddElem(std::string_view name, std::string_view value = {});
  // The same one level down: inserts after the current child among the
  // children of the current element and makes it the current child. Returns
  // false also when there is no current element.
  bool AddChildElem(std::string_view name, std::string_view value = {});

 private:
  bool Parse();
  bool FindAmong(size_t first, size_t after, std::u16string_view name, size_t& found) const;
  size_t FirstChildOf(size_t parent) const;
  std::u16string_view NameOf(size_t elem) const;
  std::string DataOf(size_t elem) const;
  bool Insert(size_t parent, size_t after, std::string_view name, std::string_view value,
              size_t& added);
  void ExpandEmpty(size_t elem);
  void ShiftFrom(size_t offset, size_t delta);
  bool CanBuild() const;

  std::u16string doc_;
  std::vector<XmlElementPos> elems_;
  std::string result_;
  bool well_formed_ = false;
  bool markup_error_ = false;
  size_t parent_ = XmlElementPos::kNone;
  size_t current_ = XmlElementPos::kNone;
  size_t child_ = XmlElementPos::kNone;
};

}  // namespace oru
