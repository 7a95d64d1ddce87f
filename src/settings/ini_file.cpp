#include "settings/ini_file.h"

#include <algorithm>
#include <cstdio>

namespace vkt {

namespace {

// The end-of-file character that old editors leave behind counts as a blank, as it does for the
// platform's own reading.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string MakeKey(std::string_view section, std::string_view key) {
  std::string k = LowerCopy(section);
  k += '\n';  // cannot occur inside a name: names never span lines
  k += LowerCopy(key);
  return k;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseIniInteger(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    // Up to eight hex digits fill the 32 bits, so 0xFFFFFFFF reads as -1.
    text.remove_prefix(2);
    if (text.size() > 8) return false;
    std::uint32_t v = 0;
    for (char c : text) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    if (negative) v = 0u - v;
    value = static_cast<std::int32_t>(v);
    return true;
  }
  if (text.empty()) return false;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

TIniFile::TIniFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return;
  std::string text;
  char chunk[8192];
  while (text.size() < kMaxFileBytes) {
    const std::size_t want = std::min(sizeof chunk, kMaxFileBytes - text.size());
    const std::size_t got = std::fread(chunk, 1, want, f);
    if (got == 0) break;
    text.append(chunk, got);
  }
  std::fclose(f);
  Parse(text);
}

void TIniFile::Parse(std::string_view text) {
  Values_.clear();
  SectionsWithKeys_.clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte-order mark

  bool inSection = false;
  std::string section;
  // Only the first section of a name is read: keys under a later head of the same name are
  // never found, as with the platform's own reading.
  std::unordered_map<std::string, bool> sectionsSeen;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;

    if (line.empty() || line.front() == ';') continue;
    const std::size_t close = line.front() == '[' ? line.find(']') : std::string_view::npos;
    // A head without its closing bracket is an ordinary line of the section it stands in.
    if (close != std::string_view::npos) {
      section = LowerCopy(Trim(line.substr(1, close - 1)));
      inSection = sectionsSeen.try_emplace(section, true).second;
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!inSection || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;

    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    // Text ends at a NUL byte, as for any C string the value is copied into.
    value = value.substr(0, value.find('\0'));
    if (value.size() > kMaxValueLength) value = value.substr(0, kMaxValueLength);

    SectionsWithKeys_[section] = true;
    Values_.try_emplace(MakeKey(section, key), value);
  }
}

const std::string* TIniFile::Find(std::string_view section, std::string_view key) const {
  const auto it = Values_.find(MakeKey(section, key));
  return it == Values_.end() ? nullptr : &it->second;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
  const std::string* v = Find(section, key);
  return v ? *v : std::string(fallback);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t fallback) const {
  const std::string* v = Find(section, key);
  std::int32_t value = 0;
  return v && ParseIniInteger(*v, value) ? value : fallback;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

bool TIniFile::SectionHasKeys(std::string_view section) const {
  return SectionsWithKeys_.count(LowerCopy(section)) != 0;
}

}  // namespace vkt
