// FakePlatform: a scripted serial line with a virtual clock, for unit tests of every layer that
// sits on the serial seam (serial driver, modem dialogue, link layer).
//
// Time is virtual and in milliseconds: GetTickCount returns it, Sleep advances it, and a read
// that times out moves it to its deadline instead of waiting, so a 45-second dial runs in a
// millisecond of real time. Nothing here sleeps or touches a device.
//
// The line is one remote end shared by all ports: bytes are scheduled to arrive at given
// virtual times, a responder hook can answer each write, error words and modem lines are
// set by the test. Every call is recorded in order, and any call can be made to fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/comm_platform.h"

namespace vkt::test {

using Bytes = std::vector<std::uint8_t>;

// One call into the fake, as recorded. `name` is the seam's call name ("ReadFile",
// "EscapeCommFunction", ...). `value` and `detail` hold the interesting argument:
//   CreateFile          detail device name, value handle returned (0 when refused)
//   CloseHandle         value handle
//   GetCommProperties   value handle
//   Get/SetCommState    detail FormatState(state), value BaudRate
//   Get/SetCommTimeouts detail FormatTimeouts(t), value ReadTotalTimeoutConstant
//   Get/SetCommMask     value mask
//   WaitCommEvent       value limitMs, detail "events=0x.." reported
//   PurgeComm           value flags
//   ClearCommError      value error word returned
//   EscapeCommFunction  value function code, detail "SETRTS" / "CLRRTS" / "SETDTR" / "CLRDTR"
//   GetCommModemStatus  value status returned
//   ReadFile            value count asked, detail hex of the bytes returned
//   WriteFile           value count asked, detail hex of the bytes handed over
//   GetVersionEx        value structure size
//   Sleep               value ms
//   GetTickCount        value tick returned
//   ProcessPendingMessages  value running count of the calls
// `ok` is false when the call reported failure.
struct Call {
  std::string name;
  std::string detail;
  std::uint32_t value = 0;
  bool ok = true;
};

// Where a scheduled arrival's time is counted from.
enum class From {
  Absolute,   // virtual time since the fake was made
  Now,        // the clock when the arrival is scheduled
  LastWrite,  // the moment the last WriteFile returned (Now when nothing was written yet)
};

// Incoming bytes that reach the port at a virtual time. Byte i arrives at
// `at + i * gapMs`. `errors` (CE_ bits) are latched into the error word when the first
// byte's time comes; with no bytes, an arrival is a bare line error at that time.
struct Arrival {
  std::uint64_t at = 0;  // absolute virtual time
  Bytes bytes;
  std::uint32_t errors = 0;
  std::uint32_t gapMs = 0;
};

// How EV_TXEMPTY is reported by WaitCommEvent when it is in the mask.
enum class TxEmpty {
  AtOnce,         // immediately
  AfterWireTime,  // when the last write's bytes have left the wire at the current line state
  Never,          // never: the bounded wait runs to its limit and reports no events
};

class FakePlatform : public serial::CommPlatform {
 public:
  using Responder = std::function<void(FakePlatform& fake, const Bytes& written)>;
  using Hook = std::function<void(FakePlatform& fake)>;

  static constexpr int kPortCount = 8;  // COM1..COM8 exist by default

  FakePlatform();
  ~FakePlatform() override;

  // ---- Virtual clock -------------------------------------------------------------------
  // Current virtual time in ms; GetTickCount returns its low 32 bits.
  std::uint64_t Now() const { return Now_; }
  // Sets the clock (e.g. near the 32-bit wrap). Arrivals and actions due by then take effect.
  void SetNow(std::uint64_t ms);
  // Moves the clock forward without recording a call.
  void Advance(std::uint64_t ms);
  // Runs `action` once when the clock reaches `at` (absolute), e.g. to raise RING.
  void ScheduleAction(std::uint64_t at, Hook action);

  // ---- Ports ---------------------------------------------------------------------------
  // A port that is absent is refused by CreateFile; so is one held by another program.
  void SetPortPresent(int port, bool present);
  void SetPortBusy(int port, bool busy);
  // The device behind `port` goes away while open: the handle the driver holds fails every
  // call but CloseHandle, and the port is absent until SetPortPresent brings a new one.
  void Unplug(int port);
  // Whether the driver holds the port now, and the handle it holds (0 when none).
  bool IsOpen(int port) const;
  serial::CommHandle HandleOf(int port) const;
  int OpenHandleCount() const;

  // The device's own line state, time-outs and event mask: what the next open finds and
  // what close must leave behind. The setters apply to every port when `port` is 0.
  void SetDeviceState(const serial::CommState& state, int port = 0);
  void SetDeviceTimeouts(const serial::CommTimeouts& timeouts, int port = 0);
  void SetDeviceMask(std::uint32_t mask, int port = 0);
  serial::CommState DeviceState(int port = 1) const;
  serial::CommTimeouts DeviceTimeouts(int port = 1) const;
  std::uint32_t DeviceMask(int port = 1) const;

  // ---- Properties and platform family --------------------------------------------------
  // Default: SP_SERIALCOMM, PCF_RTSCTS | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS.
  void SetCommProperties(const serial::CommProperties& props);
  // Default platform id 2 (NT family).
  void SetPlatformId(std::uint32_t id);
  // Makes the version query fail for one structure size (156 or 148), or stop failing.
  void SetVersionFailsFor(std::uint32_t structSize, bool fails = true);

  // ---- Incoming bytes ------------------------------------------------------------------
  void Schedule(Arrival arrival);
  void ScheduleAt(From from, std::uint64_t offsetMs, Bytes bytes, std::uint32_t errors = 0,
                  std::uint32_t gapMs = 0);
  void PushNow(Bytes bytes) { ScheduleAt(From::Now, 0, std::move(bytes)); }
  void PushAfter(std::uint64_t delayMs, Bytes bytes) {
    ScheduleAt(From::Now, delayMs, std::move(bytes));
  }
  void PushAfterWrite(std::uint64_t delayMs, Bytes bytes, std::uint32_t errors = 0) {
    ScheduleAt(From::LastWrite, delayMs, std::move(bytes), errors);
  }
  // Bytes that have arrived and not yet been read.
  std::size_t PendingBytes() const;
  // Bytes scheduled for the future, not yet arrived.
  std::size_t ScheduledBytes() const;
  // Drops everything, arrived and scheduled.
  void ClearIncoming();

  // Called on every successful WriteFile with the bytes written, after they were recorded.
  // The responder typically schedules an answer (PushAfterWrite) or does nothing.
  void SetResponder(Responder responder) { Responder_ = std::move(responder); }

  // ---- Line errors ---------------------------------------------------------------------
  // ORs CE_ bits into the error word now; the next ClearCommError returns and clears it.
  void RaiseError(std::uint32_t ceBits);
  void RaiseBreak() { RaiseError(serial::CE_BREAK); }
  std::uint32_t PendingErrors() const { return Errors_; }
  // When on, a read while the error word is non-zero and the line state asks abort-on-error
  // fails, as the Win32 port does until ClearCommError. Off by default.
  void SetAbortOnError(bool on) { AbortOnError_ = on; }

  // ---- Writes --------------------------------------------------------------------------
  // Every WriteFile's bytes, one entry per call (only calls that reported success).
  const std::vector<Bytes>& Writes() const { return Writes_; }
  // All bytes written, concatenated.
  Bytes Written() const;
  void ClearWrites() { Writes_.clear(); }
  // At most `n` bytes of each write are accepted (a short write); nullopt accepts all.
  // A short write advances the clock to the write deadline of the time-outs in force.
  void SetWriteAccepts(std::optional<std::uint32_t> n) { WriteAccepts_ = n; }
  // When on, WriteFile returns only after the bytes' wire time at the current line state.
  void SetWriteTakesWireTime(bool on) { WriteTakesWireTime_ = on; }
  // Wire time in ms of `n` bytes at the current line state of the open port (start bit, data
  // bits, parity bit, stop bits at the baud rate); 0 when no port is open.
  double WireTimeMs(std::size_t n) const;
  // When the last WriteFile returned.
  std::uint64_t LastWriteEnd() const { return LastWriteEnd_; }

  // ---- Modem lines ---------------------------------------------------------------------
  // The MS_ bits GetCommModemStatus reports (CTS may also follow RTS, below).
  void SetModemStatus(std::uint32_t msBits) { ModemStatus_ = msBits; }
  std::uint32_t ModemStatus() const;
  // CTS comes on `delayMs` after SETRTS and goes off at CLRRTS. nullopt: CTS is only what
  // SetModemStatus says.
  void SetCtsFollowsRts(std::optional<std::uint32_t> delayMs) { CtsDelay_ = delayMs; }
  // CTS never comes on, whatever RTS does.
  void SetCtsNever() {
    CtsDelay_.reset();
    CtsNever_ = true;
  }
  // Levels set through EscapeCommFunction (both low at the start).
  bool Rts() const { return Rts_; }
  bool Dtr() const { return Dtr_; }

  // ---- Events --------------------------------------------------------------------------
  void SetTxEmpty(TxEmpty mode) { TxEmpty_ = mode; }

  // ---- Failing calls -------------------------------------------------------------------
  // `name` is the recorded call name. Always, the next `n` calls, or only the `nth` call
  // from now (1 = the next one).
  void FailAlways(const std::string& name);
  void FailNext(const std::string& name, int n = 1);
  void FailNth(const std::string& name, int nth);
  void StopFailing(const std::string& name);
  void StopFailingAll();

  // ---- Call record ---------------------------------------------------------------------
  const std::vector<Call>& Calls() const { return Calls_; }
  std::vector<Call> Calls(std::string_view name) const;
  std::size_t CallCount(std::string_view name) const;
  // Names of all calls in order, GetTickCount left out (handy for sequence assertions).
  std::vector<std::string> CallNames() const;
  void ClearCalls() { Calls_.clear(); }
  // Sets whether GetTickCount calls are recorded (on by default).
  void SetRecordTicks(bool on) { RecordTicks_ = on; }

  // ---- Window messages -----------------------------------------------------------------
  int MessagePumps() const { return MessagePumps_; }
  void SetMessageHook(Hook hook) { MessageHook_ = std::move(hook); }

  // ---- Formatting helpers (also used for Call::detail) ---------------------------------
  static std::string FormatState(const serial::CommState& s);
  static std::string FormatTimeouts(const serial::CommTimeouts& t);
  static std::string Hex(const std::uint8_t* bytes, std::size_t n);
  static std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

  // ---- The seam ------------------------------------------------------------------------
  serial::CommHandle CreateFile(const char* deviceName) override;
  bool CloseHandle(serial::CommHandle h) override;
  bool GetCommProperties(serial::CommHandle h, serial::CommProperties& props) override;
  bool GetCommState(serial::CommHandle h, serial::CommState& state) override;
  bool SetCommState(serial::CommHandle h, const serial::CommState& state) override;
  bool GetCommTimeouts(serial::CommHandle h, serial::CommTimeouts& timeouts) override;
  bool SetCommTimeouts(serial::CommHandle h, const serial::CommTimeouts& timeouts) override;
  bool GetCommMask(serial::CommHandle h, std::uint32_t& mask) override;
  bool SetCommMask(serial::CommHandle h, std::uint32_t mask) override;
  bool WaitCommEvent(serial::CommHandle h, std::uint32_t& events,
                     std::uint32_t limitMs) override;
  bool PurgeComm(serial::CommHandle h, std::uint32_t flags) override;
  bool ClearCommError(serial::CommHandle h, std::uint32_t& errors) override;
  bool EscapeCommFunction(serial::CommHandle h, std::uint32_t function) override;
  bool GetCommModemStatus(serial::CommHandle h, std::uint32_t& status) override;
  bool ReadFile(serial::CommHandle h, void* buffer, std::uint32_t count,
                std::uint32_t& read) override;
  bool WriteFile(serial::CommHandle h, const void* buffer, std::uint32_t count,
                 std::uint32_t& written) override;
  bool GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) override;
  std::uint32_t GetTickCount() override;
  void Sleep(std::uint32_t ms) override;
  void ProcessPendingMessages() override;

 private:
  struct Device {
    bool present = true;
    bool busy = false;
    serial::CommState state{};
    serial::CommTimeouts timeouts{};
    std::uint32_t mask = 0;
  };
  struct FailRule {
    bool always = false;
    int next = 0;   // calls still to fail
    int nth = 0;    // countdown to the one call that fails
  };
  struct Action {
    std::uint64_t at;
    Hook action;
  };
  struct Incoming {
    std::uint64_t at;
    std::uint8_t byte;
  };
  struct Pending {
    Arrival arrival;
    std::size_t taken = 0;     // bytes already moved to Arrived_
    bool errorsLatched = false;
    std::uint64_t seq = 0;     // order of scheduling, to break ties
  };

  // Records a call; returns its index in Calls_ (or npos when not recorded).
  std::size_t Record(const char* name, std::string detail, std::uint32_t value);
  // Consumes the fail rule of `name`: true when this call is to fail.
  bool ShouldFail(const char* name);
  // Marks the recorded call `index` as failed and returns false, for `return Failed(i);`.
  bool Failed(std::size_t index);
  Device* DeviceOf(serial::CommHandle h);
  const Device* DeviceOf(serial::CommHandle h) const;
  Device* DeviceAt(int port);
  const Device* DeviceAt(int port) const;
  // Moves the clock to `to`, taking in arrivals and running actions that fall due.
  void AdvanceTo(std::uint64_t to);
  void TakeDue();
  // Time of the next scheduled byte not yet arrived, if any.
  std::optional<std::uint64_t> NextByteTime() const;
  std::optional<std::uint64_t> NextActionTime() const;
  // The device of the first open handle, for wire times; null when none is open.
  const Device* OpenDevice() const;

  std::uint64_t Now_ = 0;
  std::map<int, Device> Devices_;
  std::map<serial::CommHandle, int> Handles_;  // open handle -> port number
  std::set<serial::CommHandle> Gone_;          // open handles whose device went away
  serial::CommHandle NextHandle_ = 0x100;

  serial::CommProperties Props_{};
  std::uint32_t PlatformId_ = 2;
  std::set<std::uint32_t> VersionFailSizes_;

  std::vector<Pending> Scheduled_;   // not yet (fully) arrived, in scheduling order
  std::uint64_t NextSeq_ = 0;
  std::vector<Incoming> Arrived_;    // arrived, unread, in arrival order
  std::vector<Action> Actions_;
  Responder Responder_;

  std::uint32_t Errors_ = 0;
  bool AbortOnError_ = false;

  std::vector<Bytes> Writes_;
  std::optional<std::uint32_t> WriteAccepts_;
  bool WriteTakesWireTime_ = false;
  bool Written_ = false;
  std::uint64_t LastWriteEnd_ = 0;
  std::uint64_t TxDoneAt_ = 0;

  std::uint32_t ModemStatus_ = 0;
  std::optional<std::uint32_t> CtsDelay_;
  bool CtsNever_ = false;
  std::optional<std::uint64_t> CtsOnAt_;
  bool Rts_ = false;
  bool Dtr_ = false;
  TxEmpty TxEmpty_ = TxEmpty::AtOnce;

  std::map<std::string, FailRule, std::less<>> Fail_;
  std::vector<Call> Calls_;
  bool RecordTicks_ = true;

  int MessagePumps_ = 0;
  Hook MessageHook_;
};

}  // namespace vkt::test
