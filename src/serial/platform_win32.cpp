// The Win32 backend of the serial seam: each call passes straight through to the Windows
// communications function of the same name, translating our own types to and from the DCB,
// COMMTIMEOUTS and COMMPROP records. Two calls do more than translate: the transmit-empty wait is
// bounded (Windows offers no time-out for it on a synchronous handle), and the error word gathered
// while waiting is kept for the driver's next ClearCommError.
//
// The seam header comes before <windows.h>: its constants share their names with the Windows
// macros, which would otherwise rewrite the declarations.
#include "serial/comm_platform.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <unordered_map>

namespace {

// The seam's values, captured before the Windows macros of the same names take over, so that
// the checks below prove both sides agree on every bit this backend passes through unchanged.
namespace seam = vkt::serial;
constexpr std::uint32_t kSeamEventBits[] = {seam::EV_RXCHAR, seam::EV_TXEMPTY, seam::EV_CTS,
                                            seam::EV_ERR};
constexpr std::uint32_t kSeamErrorBits[] = {seam::CE_RXOVER, seam::CE_OVERRUN, seam::CE_RXPARITY,
                                            seam::CE_FRAME,  seam::CE_BREAK,   seam::CE_TXFULL,
                                            seam::CE_IOE};
constexpr std::uint32_t kSeamPurgeBits[] = {seam::PURGE_TXABORT, seam::PURGE_RXABORT,
                                            seam::PURGE_TXCLEAR, seam::PURGE_RXCLEAR};
constexpr std::uint32_t kSeamEscapes[] = {seam::SETRTS, seam::CLRRTS, seam::SETDTR, seam::CLRDTR};
constexpr std::uint32_t kSeamModemBits[] = {seam::MS_CTS_ON, seam::MS_DSR_ON, seam::MS_RING_ON,
                                            seam::MS_RLSD_ON};
constexpr std::uint32_t kSeamProperties[] = {seam::SP_SERIALCOMM, seam::PCF_RTSCTS,
                                             seam::PCF_TOTALTIMEOUTS, seam::PCF_INTTIMEOUTS};
constexpr std::uint32_t kSeamLineValues[] = {
    seam::kOneStopBit,         seam::kTwoStopBits,       seam::kDtrControlDisable,
    seam::kDtrControlEnable,   seam::kRtsControlDisable, seam::kRtsControlEnable,
    seam::kRtsControlHandshake, seam::kRtsControlToggle};

}  // namespace

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The seam's operations carry the plain names; the ANSI entry points are called explicitly.
#undef CreateFile
#undef GetVersionEx

namespace vkt::serial {

namespace {

template <std::size_t N>
constexpr bool SameValues(const std::uint32_t (&ours)[N],
                          std::initializer_list<std::uint32_t> win) {
  if (win.size() != N) return false;
  std::size_t i = 0;
  for (const std::uint32_t value : win)
    if (ours[i++] != value) return false;
  return true;
}

static_assert(SameValues(kSeamEventBits, {EV_RXCHAR, EV_TXEMPTY, EV_CTS, EV_ERR}));
static_assert(SameValues(kSeamErrorBits, {CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK,
                                          CE_TXFULL, CE_IOE}));
static_assert(SameValues(kSeamPurgeBits, {PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR,
                                          PURGE_RXCLEAR}));
static_assert(SameValues(kSeamEscapes, {SETRTS, CLRRTS, SETDTR, CLRDTR}));
static_assert(SameValues(kSeamModemBits, {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON}));
static_assert(SameValues(kSeamProperties, {SP_SERIALCOMM, PCF_RTSCTS, PCF_TOTALTIMEOUTS,
                                           PCF_INTTIMEOUTS}));
static_assert(SameValues(kSeamLineValues, {ONESTOPBIT, TWOSTOPBITS, DTR_CONTROL_DISABLE,
                                           DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE,
                                           RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
                                           RTS_CONTROL_TOGGLE}));
static_assert(sizeof(OSVERSIONINFOA) == 148 && sizeof(OSVERSIONINFOEXA) == 156);

// Line-status errors that a waiting caller with EV_ERR in its mask is told about.
constexpr DWORD kLineStatusErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

// Largest values the two-bit DCB fields and the parity and stop-bit bytes can hold meaningfully;
// anything beyond would be silently cut by the bit fields into a different setting.
constexpr std::uint8_t kMaxParity = SPACEPARITY;
constexpr std::uint8_t kMaxStopBits = TWOSTOPBITS;
constexpr std::uint8_t kMaxDtrControl = DTR_CONTROL_HANDSHAKE;
constexpr std::uint8_t kMaxRtsControl = RTS_CONTROL_TOGGLE;

HANDLE ToWin(CommHandle h) { return reinterpret_cast<HANDLE>(h); }

CommHandle FromWin(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<CommHandle>(h);
}

void ToDcb(const CommState& s, DCB& dcb) {
  dcb.BaudRate = s.BaudRate;
  dcb.ByteSize = s.ByteSize;
  dcb.Parity = s.Parity;
  dcb.StopBits = s.StopBits;
  dcb.fBinary = s.fBinary;
  dcb.fParity = s.fParity;
  dcb.fOutxCtsFlow = s.fOutxCtsFlow;
  dcb.fOutxDsrFlow = s.fOutxDsrFlow;
  dcb.fDtrControl = s.fDtrControl;
  dcb.fDsrSensitivity = s.fDsrSensitivity;
  dcb.fOutX = s.fOutX;
  dcb.fInX = s.fInX;
  dcb.fErrorChar = s.fErrorChar;
  dcb.fNull = s.fNull;
  dcb.fRtsControl = s.fRtsControl;
  dcb.fAbortOnError = s.fAbortOnError;
}

void FromDcb(const DCB& dcb, CommState& s) {
  s.BaudRate = dcb.BaudRate;
  s.ByteSize = dcb.ByteSize;
  s.Parity = dcb.Parity;
  s.StopBits = dcb.StopBits;
  s.fBinary = dcb.fBinary != 0;
  s.fParity = dcb.fParity != 0;
  s.fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
  s.fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
  s.fDtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  s.fDsrSensitivity = dcb.fDsrSensitivity != 0;
  s.fOutX = dcb.fOutX != 0;
  s.fInX = dcb.fInX != 0;
  s.fErrorChar = dcb.fErrorChar != 0;
  s.fNull = dcb.fNull != 0;
  s.fRtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  s.fAbortOnError = dcb.fAbortOnError != 0;
}

bool FitsDcb(const CommState& s) {
  return s.Parity <= kMaxParity && s.StopBits <= kMaxStopBits &&
         s.fDtrControl <= kMaxDtrControl && s.fRtsControl <= kMaxRtsControl;
}

class Win32Platform final : public CommPlatform {
 public:
  CommHandle CreateFile(const char* deviceName) override {
    if (deviceName == nullptr || deviceName[0] == '\0') return kNoHandle;
    // COM1 to COM9 open under their plain names; the driver never asks for more.
    const HANDLE h = ::CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    const CommHandle handle = FromWin(h);
    // A handle value the system hands out again starts with no leftover error word.
    if (handle != kNoHandle) PendingErrors_.erase(handle);
    return handle;
  }

  bool CloseHandle(CommHandle h) override {
    if (h == kNoHandle) return false;
    PendingErrors_.erase(h);
    return ::CloseHandle(ToWin(h)) != 0;
  }

  bool GetCommProperties(CommHandle h, CommProperties& props) override {
    if (h == kNoHandle) return false;
    COMMPROP cp{};
    if (!::GetCommProperties(ToWin(h), &cp)) return false;
    props.dwServiceMask = cp.dwServiceMask;
    props.dwProvCapabilities = cp.dwProvCapabilities;
    return true;
  }

  bool GetCommState(CommHandle h, CommState& state) override {
    DCB dcb;
    if (!ReadDcb(h, dcb)) return false;
    FromDcb(dcb, state);
    return true;
  }

  bool SetCommState(CommHandle h, const CommState& state) override {
    if (!FitsDcb(state)) return false;
    // Start from the port's own DCB so that what our state does not carry (flow-control
    // limits, XON/XOFF and event characters) keeps the port's values.
    DCB dcb;
    if (!ReadDcb(h, dcb)) return false;
    ToDcb(state, dcb);
    return ::SetCommState(ToWin(h), &dcb) != 0;
  }

  bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) override {
    if (h == kNoHandle) return false;
    COMMTIMEOUTS ct{};
    if (!::GetCommTimeouts(ToWin(h), &ct)) return false;
    timeouts.ReadIntervalTimeout = ct.ReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
    return true;
  }

  bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override {
    if (h == kNoHandle) return false;
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(ToWin(h), &ct) != 0;
  }

  bool GetCommMask(CommHandle h, std::uint32_t& mask) override {
    if (h == kNoHandle) return false;
    DWORD m = 0;
    if (!::GetCommMask(ToWin(h), &m)) return false;
    mask = m;
    return true;
  }

  bool SetCommMask(CommHandle h, std::uint32_t mask) override {
    if (h == kNoHandle) return false;
    return ::SetCommMask(ToWin(h), mask) != 0;
  }

  bool WaitCommEvent(CommHandle h, std::uint32_t& events, std::uint32_t limitMs) override {
    DWORD mask = 0;
    if (h == kNoHandle || !::GetCommMask(ToWin(h), &mask)) return false;
    if (mask & EV_TXEMPTY) return WaitTransmitEmpty(h, mask, events, limitMs);
    // Other events have no queue to watch; the system's own wait serves them.
    DWORD occurred = 0;
    if (!::WaitCommEvent(ToWin(h), &occurred, nullptr)) return false;
    events = occurred;
    return true;
  }

  bool PurgeComm(CommHandle h, std::uint32_t flags) override {
    if (h == kNoHandle) return false;
    return ::PurgeComm(ToWin(h), flags) != 0;
  }

  bool ClearCommError(CommHandle h, std::uint32_t& errors) override {
    if (h == kNoHandle) return false;
    DWORD word = 0;
    COMSTAT stat{};
    // On failure the errors gathered earlier stay pending for the next call that succeeds.
    if (!::ClearCommError(ToWin(h), &word, &stat)) return false;
    errors = word | TakePendingErrors(h);
    return true;
  }

  bool EscapeCommFunction(CommHandle h, std::uint32_t function) override {
    if (h == kNoHandle) return false;
    return ::EscapeCommFunction(ToWin(h), function) != 0;
  }

  bool GetCommModemStatus(CommHandle h, std::uint32_t& status) override {
    if (h == kNoHandle) return false;
    DWORD lines = 0;
    if (!::GetCommModemStatus(ToWin(h), &lines)) return false;
    status = lines;
    return true;
  }

  bool ReadFile(CommHandle h, void* buffer, std::uint32_t count, std::uint32_t& read) override {
    if (h == kNoHandle || (buffer == nullptr && count != 0)) return false;
    DWORD got = 0;
    const BOOL ok = ::ReadFile(ToWin(h), buffer, count, &got, nullptr);
    read = got;
    return ok != 0;
  }

  bool WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                 std::uint32_t& written) override {
    if (h == kNoHandle || (buffer == nullptr && count != 0)) return false;
    DWORD put = 0;
    const BOOL ok = ::WriteFile(ToWin(h), buffer, count, &put, nullptr);
    written = put;
    return ok != 0;
  }

  bool GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) override {
    // The record is the extended one; a size it cannot hold is refused before the call.
    if (structSize < sizeof(OSVERSIONINFOA) || structSize > sizeof(OSVERSIONINFOEXA))
      return false;
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = structSize;
    // The family query is what the driver needs, and this call still answers it everywhere.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
#pragma GCC diagnostic pop
    if (!ok) return false;
    platformId = info.dwPlatformId;
    return true;
  }

  std::uint32_t GetTickCount() override { return ::GetTickCount(); }

  void Sleep(std::uint32_t ms) override { ::Sleep(ms); }

  void ProcessPendingMessages() override {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // The quit request belongs to the host's own message loop: post it again and stop, so
        // the host still ends when it asked to during a modem command.
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }

 private:
  static bool ReadDcb(CommHandle h, DCB& dcb) {
    if (h == kNoHandle) return false;
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    return ::GetCommState(ToWin(h), &dcb) != 0;
  }

  // Polls the output queue until it is empty or `limitMs` has passed. Polling ClearCommError
  // also clears the port's error word, so what it returns here is kept for the driver's next
  // ClearCommError: a line error during the wait still reaches the read that follows.
  bool WaitTransmitEmpty(CommHandle h, DWORD mask, std::uint32_t& events,
                         std::uint32_t limitMs) {
    const DWORD start = ::GetTickCount();
    DWORD seen = 0;
    for (;;) {
      DWORD word = 0;
      COMSTAT stat{};
      if (!::ClearCommError(ToWin(h), &word, &stat)) return false;
      PendingErrors_[h] |= word;
      seen |= word;
      if (stat.cbOutQue == 0) {
        events = EV_TXEMPTY;
        if ((mask & EV_ERR) && (seen & kLineStatusErrors)) events |= EV_ERR;
        return true;
      }
      // Unsigned difference: correct across the tick counter's wrap.
      if (::GetTickCount() - start >= limitMs) {
        events = 0;
        return true;
      }
      ::Sleep(1);
    }
  }

  std::uint32_t TakePendingErrors(CommHandle h) {
    const auto it = PendingErrors_.find(h);
    if (it == PendingErrors_.end()) return 0;
    const std::uint32_t word = it->second;
    PendingErrors_.erase(it);
    return word;
  }

  // Error bits taken from the port while waiting and not yet handed to the driver, per handle.
  std::unordered_map<CommHandle, std::uint32_t> PendingErrors_;
};

}  // namespace

CommPlatform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace vkt::serial
