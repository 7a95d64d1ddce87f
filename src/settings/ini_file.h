// TIniFile: the reader of the settings file. Read-only, the same on every system.
//
// Reading rules: section and key names match without regard to letter case; lines without
// "=" (and lines starting with ";") are not keys; a value is the text after the first "=",
// blanks around it removed and one pair of enclosing quotes (' or ") taken off, at most
// kMaxValueLength characters; the first occurrence of a key in its section counts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vkt {

class TIniFile {
 public:
  static constexpr std::size_t kMaxValueLength = 2047;
  // Bytes of a file that are looked at; anything past them is ignored.
  static constexpr std::size_t kMaxFileBytes = 64u * 1024u * 1024u;

  TIniFile() = default;
  // Reads the file at `path`; an unreadable file reads as empty.
  explicit TIniFile(const std::string& path);

  // Parses `text` as the file's contents (replaces what was read before).
  void Parse(std::string_view text);

  // The value, or `fallback` when the key or its section is absent. A key present with
  // nothing after "=" gives the empty text.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // Decimal or 0x-hexadecimal whole number; anything else gives `fallback`.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t fallback) const;
  // An integer: 0 false, any other number true; anything else gives `fallback`.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // True when the section exists and holds at least one key.
  bool SectionHasKeys(std::string_view section) const;

 private:
  const std::string* Find(std::string_view section, std::string_view key) const;

  // Lower-cased "section\nkey" to value; lower-cased names of sections with keys.
  std::unordered_map<std::string, std::string> Values_;
  std::unordered_map<std::string, bool> SectionsWithKeys_;
};

// Parses a whole number in the reader's integer form; false when `text` is not one.
bool ParseIniInteger(std::string_view text, std::int32_t& value);

}  // namespace vkt
