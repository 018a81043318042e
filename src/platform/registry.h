#pragma once
// The registry: keys holding typed values, reached through a hive, a
// backslash-separated path and a view, answered with Windows status codes so
// that callers read like their Win32 counterparts.
//
// On Linux it is a file-backed store under one root folder:
//   <root>/HKLM/...        HKEY_LOCAL_MACHINE
//   <root>/HKU/<uid>/...   HKEY_CURRENT_USER of the desktop user <uid>
// HKEY_CLASSES_ROOT reads HKCU\Software\Classes first, then
// HKLM\Software\Classes; it writes to HKLM\Software\Classes (an elevated
// process on Windows).
//
// Views (64-bit Windows): the 32-bit view sees HKLM\SOFTWARE\<rest> at
// HKLM\SOFTWARE\WOW6432Node\<rest>, except for <rest> under "WOW6432Node"
// itself and under "Classes" (shared since Windows 7). HKCU is never
// redirected. The 64-bit view and RegView::kNone see the native tree. A store
// built for a 32-bit Windows (RegOsBits::k32) redirects nothing, so both views
// reach the same keys.
//
// Names: key and value names compare case-insensitively (ASCII letters) and
// keep the spelling they were created with. A key path may end in one
// backslash; empty components, "." and "..", NUL, invalid UTF-8 and a
// component over 255 characters are ERROR_INVALID_PARAMETER. Here a component
// must also fit a 255-byte file name once stored ("/", "%" and control
// characters take 3 bytes, so do most CJK characters).
//
// Texts are UTF-8. Sizes are those Windows would report in UTF-16: REG_SZ and
// REG_EXPAND_SZ take 2 * (units + 1) bytes, REG_MULTI_SZ 2 * (sum of
// (units + 1) + 1), other types their raw byte count. A query names a buffer
// size in bytes; a larger value answers ERROR_MORE_DATA with no data.
//
// Every object may be used from any thread; one RegKey at a time from one
// thread. Separate processes may share a store.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

// Windows status codes answered by every operation.
inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorInvalidHandle = 6;
inline constexpr long kErrorInvalidData = 13;
inline constexpr long kErrorInvalidParameter = 87;
inline constexpr long kErrorDiskFull = 112;
inline constexpr long kErrorMoreData = 234;
inline constexpr long kErrorNoMoreItems = 259;
inline constexpr long kErrorRegistryCorrupt = 1015;
inline constexpr long kErrorRegistryIoFailed = 1016;
inline constexpr long kErrorKeyDeleted = 1018;
inline constexpr long kErrorUnsupportedType = 1630;

// Value types, with Windows' numbers. Any other number may be stored too.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegDwordBigEndian = 5;
inline constexpr uint32_t kRegMultiSz = 7;

// Access rights, with Windows' numbers (KEY_QUERY_VALUE ... KEY_ALL_ACCESS).
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyNotify = 0x0010;
inline constexpr uint32_t kKeyDelete = 0x00010000;  // DELETE
inline constexpr uint32_t kKeyRead = 0x00020019;
inline constexpr uint32_t kKeyWrite = 0x00020006;
inline constexpr uint32_t kKeyAllAccess = 0x000F003F;

// A query buffer without a size limit.
inline constexpr size_t kRegUnlimited = static_cast<size_t>(-1);

enum class RegHive { kLocalMachine, kCurrentUser, kClassesRoot };

// kNone: no view flag; k64Key: KEY_WOW64_64KEY; k32Key: KEY_WOW64_32KEY.
enum class RegView { kNone, k64Key, k32Key };

// The Windows the store stands for: on a 32-bit one both views are the same.
enum class RegOsBits { k64, k32 };

struct RegValue {
  uint32_t type = kRegNone;
  // Raw data. Texts are UTF-8 without a terminator; REG_MULTI_SZ is each
  // text followed by NUL, then one more NUL; REG_DWORD is 4 bytes, least
  // significant first.
  std::string data;
  // Bytes Windows would report for the value (see the size rules above).
  size_t size = 0;
};

// An open key. Movable, not copyable; closing (or destruction) releases it.
// A key deleted while open answers ERROR_KEY_DELETED to changes and reads as
// empty. Each operation needs the access named with it, else
// ERROR_ACCESS_DENIED; a closed key answers ERROR_INVALID_HANDLE.
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(RegKey&& other) noexcept;
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  bool IsOpen() const;
  void Close();

  // kKeyQueryValue. Reads value `name` ("" = the default value). Success
  // fills `value`; a value larger than `buffer_bytes` answers
  // ERROR_MORE_DATA with type and size set and no data; a missing value
  // ERROR_FILE_NOT_FOUND.
  long QueryValue(std::string_view name, size_t buffer_bytes, RegValue* value) const;
  // kKeyQueryValue. A REG_SZ's text (cut at an embedded NUL). Other types
  // answer ERROR_UNSUPPORTED_TYPE; the buffer rule is that of QueryValue.
  long QueryString(std::string_view name, size_t buffer_bytes, std::string* text) const;
  // kKeyQueryValue. A REG_DWORD or REG_DWORD_BIG_ENDIAN as a number (4-byte
  // buffer); `type` (optional) receives which. Other types answer
  // ERROR_UNSUPPORTED_TYPE, data that is not 4 bytes ERROR_INVALID_DATA.
  long QueryDword(std::string_view name, uint32_t* number, uint32_t* type = nullptr) const;
  // kKeyQueryValue. A REG_MULTI_SZ's texts, up to the first empty one. Other
  // types answer ERROR_UNSUPPORTED_TYPE; the buffer rule is that of QueryValue.
  long QueryMultiString(std::string_view name, size_t buffer_bytes, std::vector<std::string>* texts) const;

  // kKeySetValue. Stores `data` under `name` with `type`, replacing any
  // earlier value (which keeps its place in the enumeration order). A name
  // holding NUL or over 16383 characters is ERROR_INVALID_PARAMETER.
  long SetValue(std::string_view name, uint32_t type, std::string_view data);
  // kKeySetValue. REG_SZ; a text holding NUL is ERROR_INVALID_PARAMETER.
  long SetString(std::string_view name, std::string_view text);
  // kKeySetValue. REG_DWORD.
  long SetDword(std::string_view name, uint32_t number);
  // kKeySetValue. REG_MULTI_SZ; an empty text or one holding NUL is
  // ERROR_INVALID_PARAMETER (Windows would cut the list there).
  long SetMultiString(std::string_view name, const std::vector<std::string>& texts);
  // kKeySetValue. Removes a value; ERROR_FILE_NOT_FOUND when absent.
  long DeleteValue(std::string_view name);

  // kKeyEnumerateSubKeys. Name (original spelling) of the index-th subkey in
  // ascending order of the case-folded name; ERROR_NO_MORE_ITEMS past the end.
  long EnumKey(uint32_t index, std::string* name) const;
  // kKeyQueryValue. Name and (optional) whole value of the index-th value in
  // the order the values were first set; ERROR_NO_MORE_ITEMS past the end.
  long EnumValue(uint32_t index, std::string* name, RegValue* value = nullptr) const;
  // kKeyQueryValue. Number of subkeys and of values (either may be null).
  long QueryInfo(uint32_t* subkeys, uint32_t* values) const;

  // Opens `path` below this key with this key's view; as Registry::OpenKey.
  long OpenSubKey(std::string_view path, uint32_t access, RegKey* key) const;
  // kKeyCreateSubKey. Opens or creates `path` below this key with this key's
  // view; as Registry::CreateKey.
  long CreateSubKey(std::string_view path, uint32_t access, RegKey* key, bool* created = nullptr) const;
  // Deletes the subkey `path` with its values. A subkey that has subkeys
  // answers ERROR_ACCESS_DENIED (as RegDeleteKey); an empty path
  // ERROR_INVALID_PARAMETER; a missing one ERROR_FILE_NOT_FOUND.
  long DeleteSubKey(std::string_view path);
  // kKeyDelete | kKeyEnumerateSubKeys | kKeyQueryValue. Deletes the subkey
  // `path` with everything below it; an empty path deletes every subkey and
  // value of this key and keeps the key (as RegDeleteTree).
  long DeleteTree(std::string_view path);

  struct State;  // defined by the platform implementation

 private:
  friend class Registry;
  std::unique_ptr<State> state_;
};

// The store. Cheap to construct (touches no files); keys opened from it stay
// usable after it is gone.
class Registry {
 public:
  // `root_dir`: the store folder (the locations record's registry folder);
  // `desktop_uid`: whose HKEY_CURRENT_USER this is.
  Registry(std::string root_dir, unsigned desktop_uid, RegOsBits os = RegOsBits::k64);

  // Opens an existing key (as RegOpenKeyEx). "" opens the hive itself.
  // ERROR_FILE_NOT_FOUND when absent, ERROR_ACCESS_DENIED when a write right
  // is asked for a key this process cannot change, ERROR_INVALID_PARAMETER
  // for a bad path.
  long OpenKey(RegHive hive, std::string_view path, uint32_t access, RegView view, RegKey* key) const;
  // Opens a key, creating every missing level first (as RegCreateKeyEx);
  // `created` (optional) tells whether the last level was new. Errors as
  // OpenKey, and the file system's (ERROR_ACCESS_DENIED, ERROR_DISK_FULL,
  // ERROR_REGISTRY_IO_FAILED).
  long CreateKey(RegHive hive, std::string_view path, uint32_t access, RegView view, RegKey* key,
                 bool* created = nullptr) const;

  const std::string& root_dir() const { return root_dir_; }

 private:
  std::string root_dir_;
  unsigned desktop_uid_;
  RegOsBits os_;
};

// Tests only: called in every value write after the new values file is
// complete and before it replaces the old one (nullptr: none). Lets a test
// kill a writer at the worst moment.
void SetRegistryBeforeReplaceHookForTesting(void (*hook)());

}  // namespace oru
