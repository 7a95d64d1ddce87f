#include "station_memory.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace vktsim {

namespace {

constexpr int kBitmapWords = kAddressSpace / 64;
constexpr const char* kKindNames[3] = {"bit", "word", "float"};

void PutLe(std::uint8_t* p, std::uint32_t v, int size) {
  for (int i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLe(const std::uint8_t* p, int size) {
  std::uint32_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return v;
}

bool ParseLong(const std::string& token, long lo, long hi, long& out) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(token.c_str(), &end, 0);
  if (errno != 0 || end == token.c_str() || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

// The stored bytes of one value token of `kind`.
bool ParseValue(DataKind kind, const std::string& token, std::uint32_t& raw) {
  long v = 0;
  switch (kind) {
    case kBits:
      if (!ParseLong(token, 0, 255, v)) return false;
      raw = static_cast<std::uint32_t>(v);
      return true;
    case kWords:
      if (!ParseLong(token, -32768, 65535, v)) return false;
      raw = static_cast<std::uint32_t>(v) & 0xFFFF;
      return true;
    case kFloats: {
      if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        errno = 0;
        char* end = nullptr;
        const unsigned long bits = std::strtoul(token.c_str(), &end, 16);
        if (errno != 0 || *end != '\0' || bits > 0xFFFFFFFFUL) return false;
        raw = static_cast<std::uint32_t>(bits);
        return true;
      }
      char* end = nullptr;
      const float f = std::strtof(token.c_str(), &end);
      if (end == token.c_str() || *end != '\0') return false;
      std::memcpy(&raw, &f, sizeof raw);
      return true;
    }
  }
  return false;
}

}  // namespace

StationMemory::StationMemory(const std::array<bool, 256>& served, bool pattern) {
  for (int s = 1; s <= 255; ++s) {
    if (!served[s]) continue;
    auto station = std::make_unique<Station>();
    for (int k = 0; k < 3; ++k) {
      station->values[k] = std::make_unique<std::uint8_t[]>(
          static_cast<std::size_t>(kAddressSpace) * kElementSize[k]);
      station->written[k] = std::make_unique<std::uint64_t[]>(kBitmapWords);
    }
    if (pattern) {
      for (int a = 0; a < kAddressSpace; ++a) {
        station->values[kBits][a] = static_cast<std::uint8_t>(a & 1);
        PutLe(&station->values[kWords][2 * a], static_cast<std::uint32_t>(a), 2);
        const float f = static_cast<float>(a) + 0.5f;
        std::uint32_t raw;
        std::memcpy(&raw, &f, sizeof raw);
        PutLe(&station->values[kFloats][4 * a], raw, 4);
      }
    }
    stations_[s] = std::move(station);
  }
}

void StationMemory::Read(int station, DataKind kind, int address, int count,
                         std::uint8_t* out) const {
  const Station& st = *stations_[station];
  const int size = kElementSize[kind];
  for (int i = 0; i < count; ++i) {
    const int a = (address + i) & (kAddressSpace - 1);
    std::memcpy(out + i * size, &st.values[kind][a * size], static_cast<std::size_t>(size));
  }
}

void StationMemory::Write(int station, DataKind kind, int address, int count,
                          const std::uint8_t* in) {
  Station& st = *stations_[station];
  const int size = kElementSize[kind];
  for (int i = 0; i < count; ++i) {
    const int a = (address + i) & (kAddressSpace - 1);
    std::memcpy(&st.values[kind][a * size], in + i * size, static_cast<std::size_t>(size));
    st.written[kind][a / 64] |= std::uint64_t{1} << (a % 64);
  }
  if (count > 0) st.anyWritten = true;
}

bool StationMemory::LoadInitFile(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read init file " + path;
    return false;
  }
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string stationText, kindText, addressText;
    if (!(words >> stationText)) continue;  // blank or comment line
    const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
    long station = 0, address = 0;
    if (!ParseLong(stationText, 1, 255, station) || !Serves(static_cast<int>(station))) {
      error = where + "station \"" + stationText + "\" is not served";
      return false;
    }
    int kind = -1;
    if (words >> kindText)
      for (int k = 0; k < 3; ++k)
        if (kindText == kKindNames[k]) kind = k;
    if (kind < 0) {
      error = where + "kind must be bit, word or float";
      return false;
    }
    if (!(words >> addressText) || !ParseLong(addressText, 0, kAddressSpace - 1, address)) {
      error = where + "address must be 0..65535";
      return false;
    }
    std::string token;
    int n = 0;
    Station& st = *stations_[station];
    const int size = kElementSize[kind];
    while (words >> token) {
      std::uint32_t raw = 0;
      if (!ParseValue(static_cast<DataKind>(kind), token, raw)) {
        error = where + "bad " + kindText + " value \"" + token + "\"";
        return false;
      }
      const int a = static_cast<int>((address + n) & (kAddressSpace - 1));
      PutLe(&st.values[kind][a * size], raw, size);
      ++n;
    }
    if (n == 0) {
      error = where + "no value";
      return false;
    }
  }
  return true;
}

bool StationMemory::SaveWritten(const std::string& path, std::string& error) const {
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) {
    error = "cannot write memory file " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(f, "# vktsim memory: STATION KIND ADDRESS VALUE, elements written by requests\n");
  for (int s = 1; s <= 255; ++s) {
    const Station* st = stations_[s].get();
    if (st == nullptr || !st->anyWritten) continue;
    for (int k = 0; k < 3; ++k) {
      const int size = kElementSize[k];
      for (int a = 0; a < kAddressSpace; ++a) {
        if ((st->written[k][a / 64] & (std::uint64_t{1} << (a % 64))) == 0) continue;
        const std::uint32_t raw = GetLe(&st->values[k][a * size], size);
        if (k == kBits) {
          std::fprintf(f, "%d bit %d %u\n", s, a, raw);
        } else if (k == kWords) {
          std::fprintf(f, "%d word %d %d\n", s, a, static_cast<std::int16_t>(raw));
        } else {
          float v;
          std::memcpy(&v, &raw, sizeof v);
          if (std::isfinite(v))
            std::fprintf(f, "%d float %d %.9g\n", s, a, static_cast<double>(v));
          else
            std::fprintf(f, "%d float %d 0x%08X\n", s, a, raw);
        }
      }
    }
  }
  const bool ok = std::fflush(f) == 0 && !std::ferror(f);
  if (std::fclose(f) != 0 || !ok) {
    error = "cannot write memory file " + temporary;
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vktsim
