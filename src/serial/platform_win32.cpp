// The Win32 backend of the serial seam: each call passes straight through to the Windows
// communications function of the same name, translating our own types to and from the DCB,
// COMMTIMEOUTS and COMMPROP records. WaitCommEvent does more than translate: Windows offers no
// time-out for it on a synchronous handle, so the events are watched through the port's status
// until the seam's limit, and the error word gathered while watching is kept for the driver's
// next ClearCommError. The transmit-empty wait covers the UART as well as the queue: a
// synchronous write returns once its bytes are handed to the UART, whose FIFO still sends them.
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

// What may still sit in the UART once the driver's output queue is empty: a 16550's transmit
// FIFO and its shift register.
constexpr std::uint32_t kAssumedFifoBytes = 17;

// Microseconds one character takes on the wire: start bit, data bits, parity, stop bits.
std::uint32_t CharacterMicros(const DCB& dcb) {
  if (dcb.BaudRate == 0) return 0;
  std::uint32_t halfBits = 2u * (1u + dcb.ByteSize) + (dcb.Parity != NOPARITY ? 2u : 0u);
  halfBits += dcb.StopBits == ONESTOPBIT ? 2u : (dcb.StopBits == ONE5STOPBITS ? 3u : 4u);
  return static_cast<std::uint32_t>((std::uint64_t{halfBits} * 500000u + dcb.BaudRate - 1) /
                                    dcb.BaudRate);
}

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
    if (handle == kNoHandle) return handle;
    // A handle value the system hands out again starts with no leftover notes.
    PortNotes& notes = Notes_[handle];
    notes = PortNotes{};
    DCB dcb;
    if (ReadDcb(handle, dcb)) notes.charMicros = CharacterMicros(dcb);
    return handle;
  }

  bool CloseHandle(CommHandle h) override {
    if (h == kNoHandle) return false;
    Notes_.erase(h);
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
    if (!::SetCommState(ToWin(h), &dcb)) return false;
    if (PortNotes* notes = NotesOf(h)) notes->charMicros = CharacterMicros(dcb);
    return true;
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
    if (mask == 0) return false;  // nothing to wait for, as Windows refuses it
    return WatchEvents(h, mask, events, limitMs);
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
    if (PortNotes* notes = NotesOf(h)) {
      notes->lastWriteBytes = put;
      notes->writeEndUs = MicrosNow();
      notes->written = true;
    }
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

  // What the backend keeps about an open port, beyond what Windows keeps.
  struct PortNotes {
    // Error bits taken from the port while waiting and not yet handed to the driver.
    std::uint32_t pendingErrors = 0;
    std::uint32_t charMicros = 0;
    // The last write: its bytes and when it returned.
    std::uint32_t lastWriteBytes = 0;
    std::uint64_t writeEndUs = 0;
    bool written = false;
  };

  PortNotes* NotesOf(CommHandle h) {
    const auto it = Notes_.find(h);
    return it == Notes_.end() ? nullptr : &it->second;
  }

  // The port's error word and queues. Reading them also clears the word, so what it held is
  // kept for the driver's next ClearCommError: a line error seen while waiting still reaches
  // the read that follows.
  bool ReadStatus(CommHandle h, DWORD& seen, COMSTAT& stat) {
    DWORD word = 0;
    stat = COMSTAT{};
    if (!::ClearCommError(ToWin(h), &word, &stat)) return false;
    if (PortNotes* notes = NotesOf(h)) notes->pendingErrors |= word;
    seen |= word;
    return true;
  }

  // Waits until the transmitter is empty or `limitMs` has passed: first the driver's output
  // queue, then the wire time of what the UART's FIFO may still hold of the last write,
  // counted from when the write returned (or from when the queue was seen empty). Timed with
  // the performance counter: the tick count moves in steps of up to 16 ms, nearly the FIFO's
  // whole time at 9600 bit/s, and could end the wait while the FIFO still sends.
  bool WaitTransmitEmpty(CommHandle h, DWORD mask, std::uint32_t& events,
                         std::uint32_t limitMs) {
    const std::uint64_t start = MicrosNow();
    const std::uint64_t limitUs = std::uint64_t{limitMs} * 1000u;
    PortNotes* notes = NotesOf(h);
    DWORD seen = 0;
    bool first = true;
    bool queueEmpty = false;
    std::uint64_t emptySince = 0;
    for (;;) {
      COMSTAT stat;
      if (!ReadStatus(h, seen, stat)) return false;
      const std::uint64_t now = MicrosNow();
      if (stat.cbOutQue == 0) {
        if (!queueEmpty) {
          queueEmpty = true;
          emptySince = (first && notes && notes->written) ? notes->writeEndUs : now;
        }
        std::uint64_t fifoUs = 0;
        if (notes) {
          const std::uint32_t held = notes->lastWriteBytes < kAssumedFifoBytes
                                         ? notes->lastWriteBytes
                                         : kAssumedFifoBytes;
          fifoUs = std::uint64_t{held} * notes->charMicros;
        }
        const std::uint64_t sent = now - emptySince;
        if (sent >= fifoUs) {
          events = EV_TXEMPTY;
          if ((mask & EV_ERR) && (seen & kLineStatusErrors)) events |= EV_ERR;
          return true;
        }
        if (now - start >= limitUs) break;
        const std::uint64_t rest = fifoUs - sent;
        const std::uint64_t left = limitUs - (now - start);
        SleepMicros(rest < left ? rest : left);
      } else {
        queueEmpty = false;
        if (now - start >= limitUs) break;
        ::Sleep(1);
      }
      first = false;
    }
    events = 0;
    return true;
  }

  // A monotonic microsecond clock.
  static std::uint64_t MicrosNow() {
    static const std::uint64_t rate = [] {
      LARGE_INTEGER f;
      ::QueryPerformanceFrequency(&f);
      return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const std::uint64_t ticks = static_cast<std::uint64_t>(now.QuadPart);
    return ticks / rate * 1000000u + ticks % rate * 1000000u / rate;
  }

  // Sleeps at least `us` (Sleep takes whole ms, and may wake a little early on some systems).
  static void SleepMicros(std::uint64_t us) {
    const std::uint64_t until = MicrosNow() + us;
    for (std::uint64_t now = MicrosNow(); now < until; now = MicrosNow())
      ::Sleep(static_cast<DWORD>((until - now + 999) / 1000));
  }

  // Watches for the mask's other events in short steps until `limitMs`: a received byte
  // waiting, a line error, a change of CTS.
  bool WatchEvents(CommHandle h, DWORD mask, std::uint32_t& events, std::uint32_t limitMs) {
    const DWORD start = ::GetTickCount();
    DWORD modemBefore = 0;
    const bool haveModem = (mask & EV_CTS) && ::GetCommModemStatus(ToWin(h), &modemBefore);
    DWORD seen = 0;
    for (;;) {
      COMSTAT stat;
      if (!ReadStatus(h, seen, stat)) return false;
      std::uint32_t occurred = 0;
      if ((mask & EV_RXCHAR) && stat.cbInQue > 0) occurred |= EV_RXCHAR;
      if ((mask & EV_ERR) && (seen & kLineStatusErrors)) occurred |= EV_ERR;
      DWORD modemNow = 0;
      if (haveModem && ::GetCommModemStatus(ToWin(h), &modemNow) &&
          ((modemNow ^ modemBefore) & MS_CTS_ON))
        occurred |= EV_CTS;
      if (occurred != 0) {
        events = occurred;
        return true;
      }
      if (::GetTickCount() - start >= limitMs) {
        events = 0;
        return true;
      }
      ::Sleep(1);
    }
  }

  std::uint32_t TakePendingErrors(CommHandle h) {
    PortNotes* notes = NotesOf(h);
    if (!notes) return 0;
    const std::uint32_t word = notes->pendingErrors;
    notes->pendingErrors = 0;
    return word;
  }

  // Notes per open handle: made at open, so the calls of a request only look them up.
  std::unordered_map<CommHandle, PortNotes> Notes_;
};

}  // namespace

CommPlatform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace vkt::serial
