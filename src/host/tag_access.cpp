#include "host/tag_access.h"

#include <cstring>

#include "host/cvalue.h"
#include "host/driver_instance.h"
#include "host/driver_log.h"
#include "host/error_registers.h"

namespace vkt::host {

namespace {

// Element staging of block reads and writes, held from one block call to the next.
std::uint8_t transferBuffer[kTransferBufferBytes];

constexpr std::int32_t kBlockLimit[3] = {kTransferBufferBytes, kTransferBufferBytes / 2,
                                         kTransferBufferBytes / 4};

// The station as the services see it: the same 16 bits, unsigned.
std::int32_t StationOf(const HostTag& tag) {
  return static_cast<std::uint16_t>(tag.station);
}

// Formed in full integer width: the sum may pass 65535.
std::int32_t ElementAddress(const HostTag& tag, bool element) {
  return element ? std::int32_t{tag.address} + std::int32_t{tag.offset} : tag.address;
}

bool IsServiceKind(std::uint16_t kind) { return kind <= kKindFloat; }

// Values travel little-endian in the services' buffers, as on the wire.
void PutWord(std::uint8_t* at, std::int16_t v) {
  const auto u = static_cast<std::uint16_t>(v);
  at[0] = static_cast<std::uint8_t>(u & 0xFF);
  at[1] = static_cast<std::uint8_t>(u >> 8);
}

std::int16_t GetWord(const std::uint8_t* at) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(at[0] | (at[1] << 8)));
}

void PutFloat(std::uint8_t* at, float v) {
  std::uint32_t u = 0;
  std::memcpy(&u, &v, sizeof u);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

float GetFloat(const std::uint8_t* at) {
  std::uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(at[i]) << (8 * i);
  float v = 0;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

ResultCode Read(std::uint16_t kind, std::int32_t station, std::int32_t address,
                std::uint8_t* buffer, std::int32_t count) {
  TVktComPort* port = DriverPort();
  if (port == nullptr) return kLinkNotReady;
  switch (kind) {
    case kKindBit: return port->ReadBits(station, address, 0, buffer, count);
    case kKindWord: return port->ReadWords(station, address, 0, buffer, count);
    default: return port->ReadFloats(station, address, 0, buffer, count);
  }
}

ResultCode Write(std::uint16_t kind, std::int32_t station, std::int32_t address,
                 const std::uint8_t* buffer, std::int32_t count) {
  TVktComPort* port = DriverPort();
  if (port == nullptr) return kLinkNotReady;
  switch (kind) {
    case kKindBit: return port->WriteBits(station, address, 0, buffer, count);
    case kKindWord: return port->WriteWords(station, address, 0, buffer, count);
    default: return port->WriteFloats(station, address, 0, buffer, count);
  }
}

std::int16_t Answer(std::int32_t type, ResultCode code) {
  if (code == kOk) return 1;
  setError(type, code);
  return -1;
}

}  // namespace

std::int16_t ReadSingle(const HostTag& tag, HVALUE handle, bool element) {
  CValue value(handle);
  // Reading a register must not clear the registers it reads.
  if (tag.kind != kKindErrorRegister) clearError(kOpRead);
  if (logEnabled()) {
    if (element)
      logPrint("drvReadBlockElement(%d,%u,%u,%u, offset: %u, size: %u)", tag.station, tag.kind,
               tag.address, tag.count, tag.offset, tag.size);
    else
      logPrint("drvReadValue(%d,%u,%u,%u)", tag.station, tag.kind, tag.address, tag.count);
  }
  const std::int32_t address = ElementAddress(tag, element);
  if (tag.kind == kKindErrorRegister) {
    // Neither clears nor sets a register, not even when there is no register to read.
    std::int32_t code = 0;
    if (!readErrorRegister(address, code)) return -1;
    value.SetI32(code);
    return 1;
  }
  if (!IsServiceKind(tag.kind)) return Answer(kOpRead, kUnhandledKind);

  std::uint8_t local[4] = {};
  const ResultCode code = Read(tag.kind, StationOf(tag), address, local, 1);
  if (code == kOk) {
    switch (tag.kind) {
      case kKindBit: value.SetU8(local[0] != 0 ? 1 : 0); break;
      case kKindWord: value.SetI16(GetWord(local)); break;
      default: value.SetR32(GetFloat(local)); break;
    }
  }
  return Answer(kOpRead, code);
}

std::int16_t ReadBlock(const HostTag& tag, HVALUE handle) {
  CValue value(handle);
  clearError(kOpRead);
  if (logEnabled())
    logPrint("drvReadBlock(%d,%u,%u,%u, offset: %u, size: %u)", tag.station, tag.kind,
             tag.address, tag.count, tag.offset, tag.size);
  if (!IsServiceKind(tag.kind)) return Answer(kOpRead, kBadDataKind);
  if (tag.count > kBlockLimit[tag.kind]) return Answer(kOpRead, kTooMuchData);

  const ResultCode code = Read(tag.kind, StationOf(tag), tag.address, transferBuffer, tag.count);
  if (code != kOk) return Answer(kOpRead, code);
  switch (tag.kind) {
    case kKindBit:
      value.Dim(kArrayOfBytes, tag.count);
      for (std::uint16_t i = 0; i < tag.count; ++i)
        value.At(i).SetAtU8(transferBuffer[i] != 0 ? 1 : 0);
      break;
    case kKindWord:
      value.Dim(kArrayOfWords, tag.count);
      for (std::uint16_t i = 0; i < tag.count; ++i)
        value.At(i).SetAtI16(GetWord(transferBuffer + 2 * i));
      break;
    default:
      value.Dim(kArrayOfFloats, tag.count);
      for (std::uint16_t i = 0; i < tag.count; ++i)
        value.At(i).SetAtR32(GetFloat(transferBuffer + 4 * i));
      break;
  }
  return 1;
}

std::int16_t WriteSingle(const HostTag& tag, HVALUE handle, bool element) {
  CValue value(handle);
  clearError(kOpWrite);
  if (logEnabled()) {
    if (element)
      logPrint("drvWriteBlockElement(%d,%u,%u,%u, offset: %u, size: %u)", tag.station,
               tag.kind, tag.address, tag.count, tag.offset, tag.size);
    else
      logPrint("drvWriteValue(%d,%u,%u,%u)", tag.station, tag.kind, tag.address, tag.count);
  }
  if (!IsServiceKind(tag.kind)) return Answer(kOpWrite, kBadDataKind);

  // A value the host library cannot supply is sent as 0, whatever a failing getter left in
  // the variable.
  std::uint8_t local[4] = {};
  switch (tag.kind) {
    case kKindBit:
      local[0] = value.IsSetBit() ? 0xFF : 0x00;
      break;
    case kKindWord: {
      std::int16_t word = 0;
      if (!value.GetI16(word)) word = 0;
      PutWord(local, word);
      break;
    }
    default: {
      float real = 0.0f;
      if (!value.GetR32(real)) real = 0.0f;
      PutFloat(local, real);
      break;
    }
  }
  return Answer(kOpWrite,
                Write(tag.kind, StationOf(tag), ElementAddress(tag, element), local, 1));
}

std::int16_t WriteBlock(const HostTag& tag, HVALUE handle) {
  CValue value(handle);
  clearError(kOpWrite);
  const bool log = logEnabled();
  if (log)
    logPrint("drvWriteBlock(%d,%u,%u,%u, offset: %u, size: %u)", tag.station, tag.kind,
             tag.address, tag.count, tag.offset, tag.size);
  if (!IsServiceKind(tag.kind)) return Answer(kOpWrite, kBadDataKind);

  // Every element the host names is fetched (and logged) once, as 0 where the library cannot
  // supply it; only those that fit the transfer buffer are staged, and a block that does not
  // fit is refused before any traffic.
  const std::int32_t limit = kBlockLimit[tag.kind];
  for (std::uint16_t i = 0; i < tag.writeCount; ++i) {
    CValue& at = value.At(i);
    switch (tag.kind) {
      case kKindBit: {
        // The log shows the byte as fetched; the bit sent is the element's own non-zero test.
        std::uint8_t byte = 0;
        if (log) {
          if (!at.GetAtU8(byte)) byte = 0;
          logPrint("v[%d] = %d", i, byte);
        }
        if (i < limit) transferBuffer[i] = at.IsSetBitAt() ? 0xFF : 0x00;
        break;
      }
      case kKindWord: {
        std::int16_t word = 0;
        if (!at.GetAtI16(word)) word = 0;
        if (log) logPrint("v[%d] = %d", i, word);
        if (i < limit) PutWord(transferBuffer + 2 * i, word);
        break;
      }
      default: {
        float real = 0.0f;
        if (!at.GetAtR32(real)) real = 0.0f;
        if (log) logPrint("v[%d] = %f", i, static_cast<double>(real));
        if (i < limit) PutFloat(transferBuffer + 4 * i, real);
        break;
      }
    }
  }
  if (tag.writeCount > limit) return Answer(kOpWrite, kTooMuchData);
  return Answer(kOpWrite,
                Write(tag.kind, StationOf(tag), tag.address, transferBuffer, tag.writeCount));
}

}  // namespace vkt::host
