#pragma once
// The two "languages" of the installer: the interface texts (English only,
// looked up by key, with the product's brand substituted) and the install
// language the user picks from a fixed list of 21, preselected from the
// user's locale and restricted to the product's Languages list.
//
// Threads: built and filled on the main thread before the window exists,
// read only afterwards; no lock.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oru {

struct RunState;

struct LanguageEntry {
  std::string name;  // display name, matched exactly ("Español")
  std::string code;  // install-language code for the package installer ("ESP")

  bool operator==(const LanguageEntry&) const = default;
};

class LanguageTable {
 public:
  // Builds the selectable list, starts with "English" and runs InitLangCode.
  LanguageTable();

  // Preselects the language of the user's default locale (GetMachineFacts).
  // Returns true on a match; false leaves the current language unchanged.
  bool InitLangCode();
  // The same for a given locale identifier (logs only the "set:" line).
  bool SetFromLocale(uint32_t lcid);

  // Loads the interface texts from resource XML 131, replacing "Quorvane" in
  // every text by brand unless brand is "quorvane" in any letter case.
  // Returns false (texts unchanged) when the resource is missing, empty,
  // does not parse or has no Lang root.
  bool loadLangXML(const std::string& brand);
  // The same from the resource's bytes.
  bool loadLangXMLData(std::string_view utf8, const std::string& brand);

  // The text of key; the key itself when there is none or it is empty.
  std::string GetText(std::string_view key) const;
  // The text of key; empty when there is none.
  std::string GetTextOrEmpty(std::string_view key) const;
  // Every key and its text.
  const std::map<std::string, std::string, std::less<>>& texts() const { return texts_; }

  // The code of the first selectable entry named name; "ENG" when none is.
  std::string GetLangCode(std::string_view name) const;

  // Restricts the offered list to the entries named in the comma-separated
  // languages (split at "," without trimming; names match exactly); an empty
  // text offers all 21. When the current language is dropped, the first
  // name of the list becomes current. Returns the offered list.
  const std::vector<LanguageEntry>& FilterLanglist(std::string_view languages);
  // The list the window offers: all 21 until FilterLanglist restricts it.
  const std::vector<LanguageEntry>& offered() const { return offered_; }
  // The fixed 21 entries.
  const std::vector<LanguageEntry>& selectable() const { return selectable_; }

  // Stores a non-empty name as the run state's SelectLang (and logs it);
  // an empty name changes nothing.
  static void SetSelectLang(std::string_view name, RunState* state);

  // The language the window preselects.
  const std::string& current_language() const { return current_; }
  void set_current_language(std::string name) { current_ = std::move(name); }

 private:
  std::vector<LanguageEntry> selectable_;
  std::vector<LanguageEntry> offered_;
  std::string current_ = "English";
  std::map<std::string, std::string, std::less<>> texts_;
};

}  // namespace oru
