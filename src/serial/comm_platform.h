// The serial seam: the only way the serial line driver reaches the operating system.
//
// The calls are shaped like the Win32 communications functions the driver was written
// against, but carry only this project's own types. Backends: platform_win32.cpp (pass-through),
// platform_posix.cpp (termios emulation), and the fake line of the tests. Every call reports
// failure with false and never throws; what a platform cannot do answers false.
#pragma once

#include <cstdint>

namespace vkt::serial {

// An open port. 0 means none; backends map their own handles onto non-zero values.
using CommHandle = std::uintptr_t;
inline constexpr CommHandle kNoHandle = 0;

// Values of the line-state fields, as the Win32 DCB defines them.
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kTwoStopBits = 2;
inline constexpr std::uint8_t kDtrControlDisable = 0;
inline constexpr std::uint8_t kDtrControlEnable = 1;
inline constexpr std::uint8_t kRtsControlDisable = 0;
inline constexpr std::uint8_t kRtsControlEnable = 1;
inline constexpr std::uint8_t kRtsControlHandshake = 2;
inline constexpr std::uint8_t kRtsControlToggle = 3;

// The fields of the line state that the driver reads or sets.
struct CommState {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // kOneStopBit, 1 (one and a half), kTwoStopBits
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = 0;
  bool fDsrSensitivity = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  std::uint8_t fRtsControl = 0;
  bool fAbortOnError = false;

  bool operator==(const CommState&) const = default;
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

struct CommProperties {
  std::uint32_t dwServiceMask = 0;
  std::uint32_t dwProvCapabilities = 0;
};

inline constexpr std::uint32_t SP_SERIALCOMM = 0x00000001;
inline constexpr std::uint32_t PCF_RTSCTS = 0x0002;
inline constexpr std::uint32_t PCF_TOTALTIMEOUTS = 0x0040;
inline constexpr std::uint32_t PCF_INTTIMEOUTS = 0x0080;

// Line error bits of ClearCommError.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
inline constexpr std::uint32_t CE_TXFULL = 0x0100;
inline constexpr std::uint32_t CE_IOE = 0x0400;

// Event mask bits.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_ERR = 0x0080;

// PurgeComm flags.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;
inline constexpr std::uint32_t PURGE_ALL = 0x000F;

// EscapeCommFunction codes.
inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;

// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

class CommPlatform {
 public:
  virtual ~CommPlatform() = default;

  // Opens "COM<n>" for exclusive, synchronous use; kNoHandle when absent or held.
  virtual CommHandle CreateFile(const char* deviceName) = 0;
  virtual bool CloseHandle(CommHandle h) = 0;

  virtual bool GetCommProperties(CommHandle h, CommProperties& props) = 0;
  virtual bool GetCommState(CommHandle h, CommState& state) = 0;
  virtual bool SetCommState(CommHandle h, const CommState& state) = 0;
  virtual bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) = 0;
  virtual bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) = 0;
  virtual bool GetCommMask(CommHandle h, std::uint32_t& mask) = 0;
  virtual bool SetCommMask(CommHandle h, std::uint32_t mask) = 0;

  // Waits for one of the events of the mask last set. Unlike the Win32 call it is bounded:
  // after `limitMs` it returns true with `events` 0.
  virtual bool WaitCommEvent(CommHandle h, std::uint32_t& events, std::uint32_t limitMs) = 0;

  virtual bool PurgeComm(CommHandle h, std::uint32_t flags) = 0;
  // Returns and clears the error word (CE_ bits) and lifts an abort-on-error stop.
  virtual bool ClearCommError(CommHandle h, std::uint32_t& errors) = 0;
  virtual bool EscapeCommFunction(CommHandle h, std::uint32_t function) = 0;
  virtual bool GetCommModemStatus(CommHandle h, std::uint32_t& status) = 0;

  // Synchronous transfers governed by the time-outs last set; report the bytes moved.
  virtual bool ReadFile(CommHandle h, void* buffer, std::uint32_t count,
                        std::uint32_t& read) = 0;
  virtual bool WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                         std::uint32_t& written) = 0;

  // The operating-system family (dwPlatformId) through a version query with a structure of
  // `structSize` bytes; false when the query fails.
  virtual bool GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) = 0;

  virtual std::uint32_t GetTickCount() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;

  // Lets the calling thread handle its pending window messages (nothing to do off Windows).
  virtual void ProcessPendingMessages() = 0;
};

// The backend of the system the library was built for.
CommPlatform& SystemPlatform();

}  // namespace vkt::serial
