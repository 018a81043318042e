// Feeds arbitrary bytes to XmlDocument, both as UTF-8 and as UTF-16 units,
// walks whatever parsed, and edits it. Besides crashes it checks that a
// document edited in place reparses into the very tree the edits produced,
// which catches any drift between the element index and the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/xml_document.h"

namespace {

// The tree as seen through navigation alone: name=data[attr](children).
std::string Walk(oru::XmlDocument& doc) {
  std::string out;
  doc.ResetPos();
  for (;;) {
    if (doc.FindElem()) {
      out += doc.GetTagName() + "=" + doc.GetData() + "[" + doc.GetAttrib("id") + "](";
      doc.IntoElem();
      continue;
    }
    if (!doc.OutOfElem()) break;
    out += ")";
  }
  return out;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

// Interprets the input's bytes as navigation and edit steps.
void Edit(oru::XmlDocument& doc, std::string_view bytes) {
  static constexpr const char* kNames[] = {"e", "Url_Down", "a:b", "x-1", "", "1bad", "a b"};
  doc.ResetPos();
  const size_t steps = bytes.size() < 64 ? bytes.size() : 64;
  for (size_t i = 0; i < steps; ++i) {
    const auto op = static_cast<unsigned char>(bytes[i]);
    const char* name = kNames[(op >> 3) % (sizeof kNames / sizeof kNames[0])];
    const std::string_view value = bytes.substr(i, op % 16);
    switch (op % 8) {
      case 0: doc.FindElem(); break;
      case 1: doc.IntoElem(); break;
      case 2: doc.OutOfElem(); break;
      case 3: doc.FindChildElem(name); break;
      case 4: doc.AddElem(name, value); break;
      case 5: doc.AddChildElem(name, value); break;
      case 6: doc.FindElem(name); break;
      default: doc.GetChildData(); break;
    }
  }
}

void Exercise(oru::XmlDocument& doc, std::string_view bytes) {
  const bool well_formed = doc.IsWellFormed();
  Walk(doc);
  doc.FindChildElem(nullptr);
  doc.GetChildData();
  doc.GetAttrib(bytes.substr(0, 4));
  Edit(doc, bytes);
  if (!doc.IsWellFormed()) {
    Check(!well_formed);
    return;
  }
  oru::XmlDocument reparsed;
  Check(reparsed.SetDoc(doc.GetDoc()));
  Check(Walk(reparsed) == Walk(doc));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  oru::XmlDocument utf8;
  utf8.SetDoc(bytes);
  Exercise(utf8, bytes);

  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  oru::XmlDocument utf16;
  utf16.SetDoc(units);
  Exercise(utf16, bytes);
  return 0;
}
