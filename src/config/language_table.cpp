#include "config/language_table.h"

#include <algorithm>
#include <optional>

#include "common/log.h"
#include "config/run_state.h"
#include "config/xml_document.h"
#include "platform/resources.h"
#include "platform/system_info.h"

namespace oru {
namespace {

// Display names as the product's Languages list spells them. The Russian
// name starts with a Latin capital P, as the lists in the field do.
constexpr const char* kFrench = "Fran\u00E7ais";
constexpr const char* kGerman = "Deutsch";
constexpr const char* kJapanese = "\u65E5\u672C\u8A9E";
constexpr const char* kPortuguese = "Portugu\u00EAs";
constexpr const char* kSpanish = "Espa\u00F1ol";
constexpr const char* kItalian = "Italiano";
constexpr const char* kChineseTraditional = "\u4E2D\u6587\u7E41\u9AD4";
constexpr const char* kChineseSimplified = "\u4E2D\u6587\u7B80\u4F53";
constexpr const char* kRussian = "P\u0443\u0441\u0441\u043A\u0438\u0439";
constexpr const char* kDutch = "Dutch";
constexpr const char* kKorean = "\uD55C\uAD6D\uC5B4";
constexpr const char* kIndonesian = "Bahasa Indonesia";
constexpr const char* kSwedish = "Svenska";
constexpr const char* kArabic = "\u0627\u0644\u0639\u0631\u0628\u064A\u0629";
constexpr const char* kMarathi = "\u092E\u0930\u093E\u0920\u0940";
constexpr const char* kTelugu = "\u0C24\u0C46\u0C32\u0C41\u0C17\u0C41";
constexpr const char* kTamil = "\u0BA4\u0BAE\u0BBF\u0BB4\u0BCD";
constexpr const char* kBengali = "\u09AC\u09BE\u0982\u09B2\u09BE";
constexpr const char* kHindi = "\u0939\u093F\u0928\u094D\u0926\u0940";
constexpr const char* kThai = "\u0E44\u0E17\u0E22";

struct LocaleEntry {
  uint32_t lcid;
  const char* name;
};

// Searched front to back; the first equal identifier wins. English has no
// entry: an unmatched locale keeps it.
constexpr LocaleEntry kLocales[] = {
    {0x080C, kFrench}, {0x0C0C, kFrench}, {0x040C, kFrench}, {0x140C, kFrench},
    {0x180C, kFrench}, {0x100C, kFrench},
    {0x0C07, kGerman}, {0x0407, kGerman}, {0x1407, kGerman}, {0x1007, kGerman},
    {0x0807, kGerman},
    {0x0411, kJapanese},
    {0x0416, kPortuguese}, {0x0816, kPortuguese},
    {0x2C0A, kSpanish}, {0x400A, kSpanish}, {0x340A, kSpanish}, {0x240A, kSpanish},
    {0x140A, kSpanish}, {0x1C0A, kSpanish}, {0x300A, kSpanish}, {0x440A, kSpanish},
    {0x100A, kSpanish}, {0x480A, kSpanish}, {0x080A, kSpanish}, {0x4C0A, kSpanish},
    {0x180A, kSpanish}, {0x3C0A, kSpanish}, {0x280A, kSpanish}, {0x500A, kSpanish},
    {0x040A, kSpanish}, {0x0C0A, kSpanish}, {0x380A, kSpanish}, {0x200A, kSpanish},
    {0x0410, kItalian}, {0x0810, kItalian},
    {0x0404, kChineseTraditional}, {0x0C04, kChineseTraditional},
    {0x0804, kChineseSimplified}, {0x1004, kChineseSimplified},
    {0x0419, kRussian}, {0x0819, kRussian},
    {0x0413, kDutch}, {0x0813, kDutch},
    {0x0412, kKorean},
    {0x0421, kIndonesian},
    {0x001D, kSwedish}, {0x041D, kSwedish}, {0x081D, kSwedish},
    {0x3801, kArabic}, {0x3C01, kArabic}, {0x1401, kArabic}, {0x0C01, kArabic},
    {0x0801, kArabic}, {0x2C01, kArabic}, {0x3401, kArabic}, {0x3001, kArabic},
    {0x1001, kArabic}, {0x1801, kArabic}, {0x2001, kArabic}, {0x4001, kArabic},
    {0x0401, kArabic}, {0x2801, kArabic}, {0x1C01, kArabic}, {0x2401, kArabic},
    {0x004E, kMarathi}, {0x044E, kMarathi},
    {0x004A, kTelugu}, {0x044A, kTelugu},
    {0x0049, kTamil}, {0x0449, kTamil},
    {0x0445, kBengali},
    {0x0039, kHindi}, {0x0439, kHindi},
    {0x041E, kThai},
};

std::vector<LanguageEntry> SelectableLanguages() {
  return {
      {"English", "ENG"},     {kGerman, "DEU"},
      {kFrench, "FRA"},       {kItalian, "ITA"},
      {kPortuguese, "PTG"},   {kSpanish, "ESP"},
      {kDutch, "NLD"},        {kRussian, "RUS"},
      {kJapanese, "JPN"},     {kChineseTraditional, "CHA"},
      {kChineseSimplified, "CHS"}, {kArabic, "ARA"},
      {kKorean, "KOR"},       {kIndonesian, "INA"},
      {kSwedish, "SWE"},      {kTelugu, "INDTE"},
      {kTamil, "INDTA"},      {kHindi, "INDHI"},
      {kBengali, "INDBN"},    {kMarathi, "INDMR"},
      {kThai, "THA"},
  };
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// The list split at "," exactly as written: no trimming, empty names kept.
std::vector<std::string> SplitExact(std::string_view text) {
  std::vector<std::string> out;
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    out.emplace_back(text.substr(begin, comma == std::string_view::npos ? text.npos : comma - begin));
    if (comma == std::string_view::npos) return out;
    begin = comma + 1;
  }
}

}  // namespace

LanguageTable::LanguageTable() : selectable_(SelectableLanguages()), offered_(selectable_) {
  InitLangCode();
}

bool LanguageTable::InitLangCode() {
  const MachineFacts& facts = GetMachineFacts();
  Log(kLogInfo, "[INFO] InitLangCode SystemDefaultLCID: %d",
      static_cast<int>(facts.system_default_lcid));
  Log(kLogInfo, "[INFO] InitLangCode GetUserDefaultLCID: %d",
      static_cast<int>(facts.user_default_lcid));
  return SetFromLocale(facts.user_default_lcid);
}

bool LanguageTable::SetFromLocale(uint32_t lcid) {
  const auto* hit = std::find_if(std::begin(kLocales), std::end(kLocales),
                                 [lcid](const LocaleEntry& e) { return e.lcid == lcid; });
  if (hit == std::end(kLocales)) {
    Log(kLogInfo, "[INFO] InitLangCode set: -1");
    return false;
  }
  current_ = hit->name;
  Log(kLogInfo, "[INFO] InitLangCode set: %d", static_cast<int>(hit - std::begin(kLocales)));
  return true;
}

bool LanguageTable::loadLangXML(const std::string& brand) {
  const std::optional<std::string> bytes = LoadResource("XML", 131);
  if (!bytes) {
    Log(kLogInfo, "[INFO] loadLangXML");
    return false;
  }
  return loadLangXMLData(*bytes, brand);
}

bool LanguageTable::loadLangXMLData(std::string_view utf8, const std::string& brand) {
  Log(kLogInfo, "[INFO] loadLangXML");
  XmlDocument doc;
  if (utf8.empty() || !doc.SetDoc(utf8) || !doc.FindElem("Lang") || !doc.IntoElem()) return false;
  const bool keep_brand = AsciiLower(brand) == "quorvane";
  std::map<std::string, std::string, std::less<>> texts;
  while (doc.FindElem("item")) {
    std::string text = doc.GetData();
    if (!keep_brand) ReplaceAll(text, "Quorvane", brand);
    texts[doc.GetAttrib("name")] = std::move(text);  // a later item replaces
  }
  texts_ = std::move(texts);
  return true;
}

std::string LanguageTable::GetText(std::string_view key) const {
  const auto it = texts_.find(key);
  if (it == texts_.end() || it->second.empty()) return std::string(key);
  return it->second;
}

std::string LanguageTable::GetTextOrEmpty(std::string_view key) const {
  const auto it = texts_.find(key);
  return it == texts_.end() ? std::string() : it->second;
}

std::string LanguageTable::GetLangCode(std::string_view name) const {
  for (const LanguageEntry& entry : selectable_) {
    if (entry.name == name) return entry.code;
  }
  return "ENG";
}

const std::vector<LanguageEntry>& LanguageTable::FilterLanglist(std::string_view languages) {
  offered_ = selectable_;
  if (languages.empty()) return offered_;
  const std::vector<std::string> names = SplitExact(languages);
  for (size_t i = offered_.size(); i-- > 0;) {
    if (std::find(names.begin(), names.end(), offered_[i].name) != names.end()) continue;
    if (offered_[i].name == current_) {
      Log(kLogInfo, "[INFO] FilterLanglist set: %d", static_cast<int>(i));
      current_ = names.front();
    }
    offered_.erase(offered_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return offered_;
}

void LanguageTable::SetSelectLang(std::string_view name, RunState* state) {
  if (name.empty()) return;
  const std::string text(name);
  Log(kLogInfo, "[INFO] set select lang=[%s].", text.c_str());
  state->SelectLang = text;
}

}  // namespace oru
