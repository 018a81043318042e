#include "oru_pack.h"

#include <filesystem>
#include <ostream>
#include <string_view>
#include <system_error>

#include "config/xml_document.h"
#include "platform/file_util.h"
#include "platform/resources.h"

namespace oru {
namespace {

namespace fs = std::filesystem;

constexpr char kZipSignature[] = "PK\x03\x04";
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr char kIcoSignature[] = {0, 0, 1, 0};

PackResult Refused(std::string error) { return {PackStatus::kRefused, std::move(error), 0}; }
PackResult Failed(std::string error) { return {PackStatus::kFailed, std::move(error), 0}; }

bool StartsWith(const std::string& data, const char* prefix, size_t size) {
  return data.size() >= size && data.compare(0, size, prefix, size) == 0;
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// Reads an input file that must be a plain, readable file.
std::optional<std::string> ReadInput(const std::string& path, std::string& error, const char* what) {
  std::string data;
  if (!IsRegularFile(path) || !ReadWholeFile(path, data)) {
    error = std::string(what) + " " + path + ": cannot be read";
    return std::nullopt;
  }
  return data;
}

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Parses the bytes the installer will parse, the way it parses them; the
// root element must be `root`. The error names the file.
bool ParseWithRoot(const std::string& path, const std::string& data, const char* what, const char* root,
                   XmlDocument& doc, std::string& error) {
  if (!doc.SetDoc(std::string_view(data))) {
    error = std::string(what) + " " + path + " does not parse: " + doc.GetResult();
    return false;
  }
  doc.ResetPos();
  if (!doc.FindElem() || doc.GetTagName() != root) {
    error = std::string(what) + " " + path + ": the root element is <" + doc.GetTagName() + ">, not <" + root + ">";
    return false;
  }
  return true;
}

std::string ChildText(XmlDocument& doc, const char* root, const char* name) {
  doc.ResetPos();
  if (!doc.FindElem(root) || !doc.FindChildElem(name)) return {};
  return doc.GetChildData();
}

std::optional<std::string> ReadProductXml(const std::string& path, std::string& error) {
  std::optional<std::string> data = ReadInput(path, error, "product XML");
  XmlDocument doc;
  if (!data || !ParseWithRoot(path, *data, "product XML", "Product", doc, error)) return std::nullopt;
  // The id names the run-state file and goes into every request.
  const std::string id = ChildText(doc, "Product", "ProductID");
  if (!AllDigits(id)) {
    error = "product XML " + path + ": <ProductID> must be a decimal number, found \"" + id + "\"";
    return std::nullopt;
  }
  if (ChildText(doc, "Product", "ProductName").empty()) {
    error = "product XML " + path + ": <ProductName> is missing or empty";
    return std::nullopt;
  }
  return data;
}

std::optional<std::string> ReadLangXml(const std::string& path, std::string& error) {
  std::optional<std::string> data = ReadInput(path, error, "language XML");
  XmlDocument doc;
  if (!data || !ParseWithRoot(path, *data, "language XML", "Lang", doc, error)) return std::nullopt;
  return data;
}

std::optional<std::string> ReadSkin(const std::string& path, std::string& error) {
  std::optional<std::string> data = ReadInput(path, error, "skin");
  if (data && !StartsWith(*data, kZipSignature, 4)) {
    error = "skin " + path + ": not a zip archive";
    return std::nullopt;
  }
  return data;
}

std::optional<std::string> ReadIcon(const std::string& path, std::string& error) {
  std::optional<std::string> data = ReadInput(path, error, "icon");
  if (data && !StartsWith(*data, kIcoSignature, 4) && !StartsWith(*data, kPngSignature, 8)) {
    error = "icon " + path + ": neither an .ico nor a .png image";
    return std::nullopt;
  }
  return data;
}

// The overlay entries of the given inputs, in resource order.
std::optional<std::vector<OverlayEntry>> ReadEntries(const PackOptions& options, std::string& error) {
  struct Input {
    const std::string& path;
    const char* type;
    int id;
    std::optional<std::string> (*read)(const std::string&, std::string&);
  };
  const Input inputs[] = {{options.product_xml, "XML", 106, &ReadProductXml},
                          {options.lang_xml, "XML", 131, &ReadLangXml},
                          {options.skin, "ZIPRES", 133, &ReadSkin},
                          {options.icon, "ICON", 101, &ReadIcon}};
  std::vector<OverlayEntry> entries;
  for (const Input& input : inputs) {
    if (input.path.empty()) continue;
    std::optional<std::string> data = input.read(input.path, error);
    if (!data) return std::nullopt;
    entries.push_back({input.type, input.id, std::move(*data)});
  }
  if (entries.empty()) {
    error = "nothing to pack: give --product-xml, --lang-xml, --skin or --icon";
    return std::nullopt;
  }
  return entries;
}

// Also catches another spelling, a symbolic link or a hard link.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec_a;
  std::error_code ec_b;
  const fs::path canonical_a = fs::weakly_canonical(a, ec_a);
  const fs::path canonical_b = fs::weakly_canonical(b, ec_b);
  if (!ec_a && !ec_b && canonical_a == canonical_b) return true;
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

std::optional<std::string> CheckPaths(const PackOptions& options) {
  if (options.installer.empty() || options.out.empty()) return "--installer and --out are both required";
  if (!IsRegularFile(options.installer)) return "installer " + options.installer + ": not a readable file";
  if (SameFile(options.installer, options.out)) return "--out " + options.out + " is the installer itself";
  std::error_code ec;
  const fs::file_status out_status = fs::symlink_status(options.out, ec);
  if (!fs::exists(out_status)) return std::nullopt;
  if (!options.force) return "--out " + options.out + " exists already (use --force to replace it)";
  if (fs::is_directory(out_status)) return "--out " + options.out + " is a folder";
  return std::nullopt;
}

// The installer without any overlay it carries.
std::optional<std::string> PlainInstaller(const std::string& path, std::string& error) {
  std::string data;
  const long long plain = SizeWithoutOverlay(path);
  if (plain < 0 || !ReadWholeFile(path, data) || static_cast<unsigned long long>(plain) > data.size()) {
    error = "installer " + path + ": cannot be read";
    return std::nullopt;
  }
  data.resize(static_cast<size_t>(plain));
  return data;
}

// Temporary file beside `out`, made executable and renamed over it.
bool WriteExecutable(const std::string& out, const std::string& data, std::string& error) {
  const fs::path target(out);
  const std::string dir = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  std::optional<std::string> tmp = CreateUniqueTempFile(dir, "." + target.filename().string() + ".tmp-", data);
  if (!tmp) {
    error = "cannot write a temporary file in " + dir;
    return false;
  }
  std::error_code ec;
  fs::permissions(*tmp, fs::perms(0755), fs::perm_options::replace, ec);
  if (ec || !RenameFile(*tmp, out)) {
    RemoveFile(*tmp);
    error = "cannot create " + out + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  return true;
}

bool TakeValue(const std::vector<std::string>& args, size_t& i, std::string& slot, std::string& error) {
  const std::string& flag = args[i];
  if (i + 1 >= args.size()) {
    error = flag + " needs a value";
    return false;
  }
  if (!slot.empty()) {
    error = flag + " is given twice";
    return false;
  }
  slot = args[++i];
  if (slot.empty()) error = flag + " needs a non-empty value";
  return !slot.empty();
}

}  // namespace

int PackExitCode(PackStatus status) {
  switch (status) {
    case PackStatus::kPacked:
      return 0;
    case PackStatus::kRefused:
      return 2;
    case PackStatus::kFailed:
      return 1;
  }
  return 1;
}

PackResult PackInstaller(const PackOptions& options) {
  if (std::optional<std::string> refusal = CheckPaths(options)) return Refused(*refusal);
  std::string error;
  std::optional<std::vector<OverlayEntry>> entries = ReadEntries(options, error);
  if (!entries) return Refused(error);
  std::optional<std::string> data = PlainInstaller(options.installer, error);
  if (!data) return Failed(error);
  *data += BuildOverlay(*entries);
  if (!WriteExecutable(options.out, *data, error)) return Failed(error);
  return {PackStatus::kPacked, {}, entries->size()};
}

std::string PackUsage() {
  return "usage: oru-pack --installer FILE --out FILE [--product-xml FILE] [--lang-xml FILE]\n"
         "                [--skin FILE.zip] [--icon FILE.ico|FILE.png] [--force]\n"
         "\n"
         "Writes a branded copy of a built installer: the plain executable (an overlay it\n"
         "already carries is replaced, not stacked) followed by the given resources, which\n"
         "take precedence over the ones built in.\n"
         "\n"
         "  --installer FILE    the built oru (packed or not)\n"
         "  --out FILE          the branded installer to write (mode 0755); must differ\n"
         "                      from --installer\n"
         "  --product-xml FILE  product configuration, resource XML 106: root <Product>\n"
         "                      with a decimal <ProductID> and a non-empty <ProductName>\n"
         "  --lang-xml FILE     interface texts, resource XML 131: root <Lang>\n"
         "  --skin FILE.zip     skin archive, resource ZIPRES 133\n"
         "  --icon FILE         .ico or .png image, resource ICON 101\n"
         "  --force             replace an existing --out\n"
         "  --help              this text\n"
         "\n"
         "At least one resource is required. Every input is checked before anything is\n"
         "written; the output appears complete or not at all.\n"
         "Exit codes: 0 packed, 1 reading or writing failed, 2 refused (bad command line\n"
         "or input).\n";
}

std::optional<PackOptions> ParsePackArguments(const std::vector<std::string>& args, bool& help, std::string& error) {
  PackOptions options;
  help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string* slot = nullptr;
    if (arg == "--help" || arg == "-h") {
      help = true;
      return std::nullopt;
    }
    if (arg == "--force") {
      options.force = true;
      continue;
    }
    if (arg == "--installer") slot = &options.installer;
    if (arg == "--out") slot = &options.out;
    if (arg == "--product-xml") slot = &options.product_xml;
    if (arg == "--lang-xml") slot = &options.lang_xml;
    if (arg == "--skin") slot = &options.skin;
    if (arg == "--icon") slot = &options.icon;
    if (slot == nullptr) {
      error = "unknown argument " + arg;
      return std::nullopt;
    }
    if (!TakeValue(args, i, *slot, error)) return std::nullopt;
  }
  if (options.installer.empty() || options.out.empty()) {
    error = "--installer and --out are both required";
    return std::nullopt;
  }
  return options;
}

int RunOruPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool help = false;
  std::string error;
  std::optional<PackOptions> options = ParsePackArguments(args, help, error);
  if (help) {
    out << PackUsage();
    return 0;
  }
  if (!options) {
    err << "oru-pack: " << error << "\n" << PackUsage();
    return PackExitCode(PackStatus::kRefused);
  }
  const PackResult result = PackInstaller(*options);
  if (result.status != PackStatus::kPacked) {
    err << "oru-pack: " << result.error << "\n";
    return PackExitCode(result.status);
  }
  out << "packed " << options->out << " with " << result.overlay_entries << " resource(s)\n";
  return 0;
}

}  // namespace oru
