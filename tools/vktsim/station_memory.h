// The memory of the simulated stations: 65536 bits, words and floats per served station.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vktsim {

enum DataKind { kBits = 0, kWords = 1, kFloats = 2 };
inline constexpr int kElementSize[3] = {1, 2, 4};
inline constexpr int kAddressSpace = 65536;

class StationMemory {
 public:
  // Allocates the memory of every station marked in `served` (index 1..255), zeroed or with
  // the documented pattern.
  StationMemory(const std::array<bool, 256>& served, bool pattern);

  bool Serves(int station) const {
    return station >= 1 && station <= 255 && stations_[station] != nullptr;
  }

  // `count` elements from `address` on, wrapping at 65536, packed little-endian as on the wire.
  void Read(int station, DataKind kind, int address, int count, std::uint8_t* out) const;
  void Write(int station, DataKind kind, int address, int count, const std::uint8_t* in);

  // The init file format of --help; false with `error` naming the line on a fault.
  bool LoadInitFile(const std::string& path, std::string& error);
  // Every element written by a request, in the same format.
  bool SaveWritten(const std::string& path, std::string& error) const;

 private:
  struct Station {
    std::unique_ptr<std::uint8_t[]> values[3];
    std::unique_ptr<std::uint64_t[]> written[3];  // one bit per address
    bool anyWritten = false;
  };
  std::array<std::unique_ptr<Station>, 256> stations_;
};

}  // namespace vktsim
