#include "fake_platform.h"

#include "serial/read_timeouts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace vkt::test {

using namespace serial;

namespace {

// "COM3" or "\\.\COM3" -> 3; 0 for anything else.
int PortFromName(const char* name) {
  if (!name) return 0;
  std::string_view s(name);
  if (s.starts_with("\\\\.\\")) s.remove_prefix(4);
  if (s.size() < 4 || !(s.starts_with("COM") || s.starts_with("com"))) return 0;
  int n = 0;
  for (char c : s.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
    if (n > 255) return 0;
  }
  return n;
}

const char* EscapeName(std::uint32_t function) {
  switch (function) {
    case SETRTS: return "SETRTS";
    case CLRRTS: return "CLRRTS";
    case SETDTR: return "SETDTR";
    case CLRDTR: return "CLRDTR";
    case 1: return "SETXOFF";
    case 2: return "SETXON";
    case 8: return "SETBREAK";
    case 9: return "CLRBREAK";
    default: return "";
  }
}

std::string HexWord(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

}  // namespace

FakePlatform::FakePlatform() {
  CommState state;
  state.BaudRate = 1200;
  state.ByteSize = 7;
  state.Parity = 2;
  state.StopBits = kOneStopBit;
  state.fBinary = true;
  state.fParity = true;
  state.fDtrControl = kDtrControlEnable;
  state.fRtsControl = kRtsControlEnable;
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = 7;
  timeouts.ReadTotalTimeoutMultiplier = 3;
  timeouts.ReadTotalTimeoutConstant = 11;
  timeouts.WriteTotalTimeoutMultiplier = 5;
  timeouts.WriteTotalTimeoutConstant = 13;
  for (int port = 1; port <= kPortCount; ++port) {
    Device& d = Devices_[port];
    d.state = state;
    d.timeouts = timeouts;
    d.mask = EV_RXCHAR;
  }
  Props_.dwServiceMask = SP_SERIALCOMM;
  Props_.dwProvCapabilities = PCF_RTSCTS | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;
}

FakePlatform::~FakePlatform() = default;

// ---- Clock ---------------------------------------------------------------------------------

void FakePlatform::SetNow(std::uint64_t ms) {
  if (ms >= Now_) {
    AdvanceTo(ms);
  } else {
    Now_ = ms;
    TakeDue();
  }
}

void FakePlatform::Advance(std::uint64_t ms) { AdvanceTo(Now_ + ms); }

void FakePlatform::ScheduleAction(std::uint64_t at, Hook action) {
  Actions_.push_back(Action{at, std::move(action)});
}

std::optional<std::uint64_t> FakePlatform::NextActionTime() const {
  std::optional<std::uint64_t> t;
  for (const Action& a : Actions_)
    if (!t || a.at < *t) t = a.at;
  return t;
}

void FakePlatform::AdvanceTo(std::uint64_t to) {
  for (;;) {
    auto it = std::min_element(Actions_.begin(), Actions_.end(),
                               [](const Action& a, const Action& b) { return a.at < b.at; });
    if (it == Actions_.end() || it->at > to) break;
    Now_ = std::max(Now_, it->at);
    TakeDue();
    Hook action = std::move(it->action);
    Actions_.erase(it);
    if (action) action(*this);
  }
  Now_ = std::max(Now_, to);
  TakeDue();
}

void FakePlatform::TakeDue() {
  struct Due {
    std::uint64_t at;
    std::uint64_t seq;
    std::size_t index;
    std::uint8_t byte;
  };
  std::vector<Due> due;
  for (Pending& p : Scheduled_) {
    if (!p.errorsLatched && p.arrival.at <= Now_) {
      Errors_ |= p.arrival.errors;
      p.errorsLatched = true;
    }
    while (p.taken < p.arrival.bytes.size()) {
      const std::uint64_t at = p.arrival.at + p.taken * std::uint64_t{p.arrival.gapMs};
      if (at > Now_) break;
      due.push_back(Due{at, p.seq, p.taken, p.arrival.bytes[p.taken]});
      ++p.taken;
    }
  }
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return std::tie(a.at, a.seq, a.index) < std::tie(b.at, b.seq, b.index);
  });
  for (const Due& d : due) Arrived_.push_back(Incoming{d.at, d.byte});
  std::erase_if(Scheduled_, [](const Pending& p) {
    return p.errorsLatched && p.taken == p.arrival.bytes.size();
  });
}

std::optional<std::uint64_t> FakePlatform::NextByteTime() const {
  std::optional<std::uint64_t> t;
  for (const Pending& p : Scheduled_) {
    if (p.taken >= p.arrival.bytes.size()) continue;
    const std::uint64_t at = p.arrival.at + p.taken * std::uint64_t{p.arrival.gapMs};
    if (!t || at < *t) t = at;
  }
  return t;
}

// ---- Ports ---------------------------------------------------------------------------------

FakePlatform::Device* FakePlatform::DeviceAt(int port) {
  auto it = Devices_.find(port);
  return it == Devices_.end() ? nullptr : &it->second;
}

const FakePlatform::Device* FakePlatform::DeviceAt(int port) const {
  auto it = Devices_.find(port);
  return it == Devices_.end() ? nullptr : &it->second;
}

FakePlatform::Device* FakePlatform::DeviceOf(CommHandle h) {
  if (Gone_.count(h)) return nullptr;
  auto it = Handles_.find(h);
  return it == Handles_.end() ? nullptr : DeviceAt(it->second);
}

const FakePlatform::Device* FakePlatform::DeviceOf(CommHandle h) const {
  if (Gone_.count(h)) return nullptr;
  auto it = Handles_.find(h);
  return it == Handles_.end() ? nullptr : DeviceAt(it->second);
}

const FakePlatform::Device* FakePlatform::OpenDevice() const {
  return Handles_.empty() ? nullptr : DeviceAt(Handles_.begin()->second);
}

void FakePlatform::SetPortPresent(int port, bool present) {
  if (Device* d = DeviceAt(port)) {
    d->present = present;
    return;
  }
  if (!present) return;
  // A port beyond the default ones gets the line state of COM1.
  Device d = Devices_.count(1) ? Devices_[1] : Device{};
  d.present = true;
  d.busy = false;
  Devices_[port] = d;
}

void FakePlatform::Unplug(int port) {
  const CommHandle h = HandleOf(port);
  if (h != kNoHandle) Gone_.insert(h);
  SetPortPresent(port, false);
}

void FakePlatform::SetPortBusy(int port, bool busy) {
  if (Device* d = DeviceAt(port)) d->busy = busy;
}

bool FakePlatform::IsOpen(int port) const { return HandleOf(port) != kNoHandle; }

CommHandle FakePlatform::HandleOf(int port) const {
  for (const auto& [h, p] : Handles_)
    if (p == port) return h;
  return kNoHandle;
}

int FakePlatform::OpenHandleCount() const { return static_cast<int>(Handles_.size()); }

void FakePlatform::SetDeviceState(const CommState& state, int port) {
  for (auto& [n, d] : Devices_)
    if (port == 0 || n == port) d.state = state;
}

void FakePlatform::SetDeviceTimeouts(const CommTimeouts& timeouts, int port) {
  for (auto& [n, d] : Devices_)
    if (port == 0 || n == port) d.timeouts = timeouts;
}

void FakePlatform::SetDeviceMask(std::uint32_t mask, int port) {
  for (auto& [n, d] : Devices_)
    if (port == 0 || n == port) d.mask = mask;
}

CommState FakePlatform::DeviceState(int port) const {
  const Device* d = DeviceAt(port);
  return d ? d->state : CommState{};
}

CommTimeouts FakePlatform::DeviceTimeouts(int port) const {
  const Device* d = DeviceAt(port);
  return d ? d->timeouts : CommTimeouts{};
}

std::uint32_t FakePlatform::DeviceMask(int port) const {
  const Device* d = DeviceAt(port);
  return d ? d->mask : 0;
}

// ---- Properties and platform ---------------------------------------------------------------

void FakePlatform::SetCommProperties(const CommProperties& props) { Props_ = props; }

void FakePlatform::SetPlatformId(std::uint32_t id) { PlatformId_ = id; }

void FakePlatform::SetVersionFailsFor(std::uint32_t structSize, bool fails) {
  if (fails)
    VersionFailSizes_.insert(structSize);
  else
    VersionFailSizes_.erase(structSize);
}

// ---- Incoming ------------------------------------------------------------------------------

void FakePlatform::Schedule(Arrival arrival) {
  Pending p;
  p.arrival = std::move(arrival);
  p.seq = NextSeq_++;
  Scheduled_.push_back(std::move(p));
  TakeDue();
}

void FakePlatform::ScheduleAt(From from, std::uint64_t offsetMs, Bytes bytes,
                              std::uint32_t errors, std::uint32_t gapMs) {
  std::uint64_t base = 0;
  switch (from) {
    case From::Absolute: base = 0; break;
    case From::Now: base = Now_; break;
    case From::LastWrite: base = Written_ ? LastWriteEnd_ : Now_; break;
  }
  Schedule(Arrival{base + offsetMs, std::move(bytes), errors, gapMs});
}

std::size_t FakePlatform::PendingBytes() const { return Arrived_.size(); }

std::size_t FakePlatform::ScheduledBytes() const {
  std::size_t n = 0;
  for (const Pending& p : Scheduled_) n += p.arrival.bytes.size() - p.taken;
  return n;
}

void FakePlatform::ClearIncoming() {
  Scheduled_.clear();
  Arrived_.clear();
}

void FakePlatform::RaiseError(std::uint32_t ceBits) { Errors_ |= ceBits; }

// ---- Writes and modem lines ----------------------------------------------------------------

Bytes FakePlatform::Written() const {
  Bytes all;
  for (const Bytes& w : Writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

double FakePlatform::WireTimeMs(std::size_t n) const {
  const Device* d = OpenDevice();
  if (!d || d->state.BaudRate == 0) return 0.0;
  const CommState& s = d->state;
  double bits = 1.0 + s.ByteSize + (s.Parity != 0 ? 1.0 : 0.0);
  bits += s.StopBits == kOneStopBit ? 1.0 : (s.StopBits == 1 ? 1.5 : 2.0);
  return static_cast<double>(n) * bits * 1000.0 / static_cast<double>(s.BaudRate);
}

std::uint32_t FakePlatform::ModemStatus() const {
  std::uint32_t bits = ModemStatus_;
  if (CtsNever_) {
    bits &= ~MS_CTS_ON;
  } else if (CtsDelay_) {
    bits &= ~MS_CTS_ON;
    if (CtsOnAt_ && Now_ >= *CtsOnAt_) bits |= MS_CTS_ON;
  }
  return bits;
}

// ---- Failing calls and the record ----------------------------------------------------------

void FakePlatform::FailAlways(const std::string& name) { Fail_[name].always = true; }

void FakePlatform::FailNext(const std::string& name, int n) { Fail_[name].next = n; }

void FakePlatform::FailNth(const std::string& name, int nth) { Fail_[name].nth = nth; }

void FakePlatform::StopFailing(const std::string& name) { Fail_.erase(name); }

void FakePlatform::StopFailingAll() { Fail_.clear(); }

std::size_t FakePlatform::Record(const char* name, std::string detail, std::uint32_t value) {
  Calls_.push_back(Call{name, std::move(detail), value, true});
  return Calls_.size() - 1;
}

bool FakePlatform::ShouldFail(const char* name) {
  auto it = Fail_.find(std::string_view(name));
  if (it == Fail_.end()) return false;
  FailRule& r = it->second;
  bool fail = r.always;
  if (r.next > 0) {
    --r.next;
    fail = true;
  }
  if (r.nth > 0 && --r.nth == 0) fail = true;
  return fail;
}

bool FakePlatform::Failed(std::size_t index) {
  if (index < Calls_.size()) Calls_[index].ok = false;
  return false;
}

std::vector<Call> FakePlatform::Calls(std::string_view name) const {
  std::vector<Call> out;
  for (const Call& c : Calls_)
    if (c.name == name) out.push_back(c);
  return out;
}

std::size_t FakePlatform::CallCount(std::string_view name) const {
  return static_cast<std::size_t>(
      std::count_if(Calls_.begin(), Calls_.end(), [&](const Call& c) { return c.name == name; }));
}

std::vector<std::string> FakePlatform::CallNames() const {
  std::vector<std::string> out;
  for (const Call& c : Calls_)
    if (c.name != "GetTickCount") out.push_back(c.name);
  return out;
}

// ---- Formatting ----------------------------------------------------------------------------

std::string FakePlatform::FormatState(const CommState& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "baud=%u bits=%u parity=%u stop=%u binary=%d fparity=%d ctsflow=%d dsrflow=%d "
                "dtr=%u dsrsens=%d outx=%d inx=%d errchar=%d null=%d rts=%u abort=%d",
                static_cast<unsigned>(s.BaudRate), static_cast<unsigned>(s.ByteSize),
                static_cast<unsigned>(s.Parity), static_cast<unsigned>(s.StopBits), s.fBinary,
                s.fParity, s.fOutxCtsFlow, s.fOutxDsrFlow, static_cast<unsigned>(s.fDtrControl),
                s.fDsrSensitivity, s.fOutX, s.fInX, s.fErrorChar, s.fNull,
                static_cast<unsigned>(s.fRtsControl), s.fAbortOnError);
  return buf;
}

std::string FakePlatform::FormatTimeouts(const CommTimeouts& t) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "ri=%u rm=%u rc=%u wm=%u wc=%u",
                static_cast<unsigned>(t.ReadIntervalTimeout),
                static_cast<unsigned>(t.ReadTotalTimeoutMultiplier),
                static_cast<unsigned>(t.ReadTotalTimeoutConstant),
                static_cast<unsigned>(t.WriteTotalTimeoutMultiplier),
                static_cast<unsigned>(t.WriteTotalTimeoutConstant));
  return buf;
}

std::string FakePlatform::Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

// ---- The seam ------------------------------------------------------------------------------

CommHandle FakePlatform::CreateFile(const char* deviceName) {
  const std::size_t i = Record("CreateFile", deviceName ? deviceName : "", 0);
  if (ShouldFail("CreateFile")) {
    Failed(i);
    return kNoHandle;
  }
  const int port = PortFromName(deviceName);
  const Device* d = DeviceAt(port);
  // Exclusive use: a port the driver or another program holds is refused.
  if (!d || !d->present || d->busy || IsOpen(port)) {
    Failed(i);
    return kNoHandle;
  }
  const CommHandle h = NextHandle_++;
  Handles_[h] = port;
  Calls_[i].value = static_cast<std::uint32_t>(h);
  return h;
}

bool FakePlatform::CloseHandle(CommHandle h) {
  const std::size_t i = Record("CloseHandle", "", static_cast<std::uint32_t>(h));
  if (ShouldFail("CloseHandle") || !Handles_.count(h)) return Failed(i);
  Handles_.erase(h);
  Gone_.erase(h);
  return true;
}

bool FakePlatform::GetCommProperties(CommHandle h, CommProperties& props) {
  const std::size_t i = Record("GetCommProperties", "", static_cast<std::uint32_t>(h));
  if (ShouldFail("GetCommProperties") || !DeviceOf(h)) return Failed(i);
  props = Props_;
  return true;
}

bool FakePlatform::GetCommState(CommHandle h, CommState& state) {
  const std::size_t i = Record("GetCommState", "", 0);
  Device* d = DeviceOf(h);
  if (ShouldFail("GetCommState") || !d) return Failed(i);
  state = d->state;
  Calls_[i].detail = FormatState(state);
  Calls_[i].value = state.BaudRate;
  return true;
}

bool FakePlatform::SetCommState(CommHandle h, const CommState& state) {
  const std::size_t i = Record("SetCommState", FormatState(state), state.BaudRate);
  Device* d = DeviceOf(h);
  if (ShouldFail("SetCommState") || !d) return Failed(i);
  d->state = state;
  return true;
}

bool FakePlatform::GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) {
  const std::size_t i = Record("GetCommTimeouts", "", 0);
  Device* d = DeviceOf(h);
  if (ShouldFail("GetCommTimeouts") || !d) return Failed(i);
  timeouts = d->timeouts;
  Calls_[i].detail = FormatTimeouts(timeouts);
  Calls_[i].value = timeouts.ReadTotalTimeoutConstant;
  return true;
}

bool FakePlatform::SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) {
  const std::size_t i =
      Record("SetCommTimeouts", FormatTimeouts(timeouts), timeouts.ReadTotalTimeoutConstant);
  Device* d = DeviceOf(h);
  if (ShouldFail("SetCommTimeouts") || !d) return Failed(i);
  d->timeouts = timeouts;
  return true;
}

bool FakePlatform::GetCommMask(CommHandle h, std::uint32_t& mask) {
  const std::size_t i = Record("GetCommMask", "", 0);
  Device* d = DeviceOf(h);
  if (ShouldFail("GetCommMask") || !d) return Failed(i);
  mask = d->mask;
  Calls_[i].value = mask;
  return true;
}

bool FakePlatform::SetCommMask(CommHandle h, std::uint32_t mask) {
  const std::size_t i = Record("SetCommMask", "", mask);
  Device* d = DeviceOf(h);
  if (ShouldFail("SetCommMask") || !d) return Failed(i);
  d->mask = mask;
  return true;
}

bool FakePlatform::WaitCommEvent(CommHandle h, std::uint32_t& events, std::uint32_t limitMs) {
  const std::size_t i = Record("WaitCommEvent", "", limitMs);
  Device* d = DeviceOf(h);
  if (ShouldFail("WaitCommEvent") || !d) return Failed(i);
  TakeDue();
  const std::uint32_t mask = d->mask;
  const std::uint64_t limit = Now_ + limitMs;

  // Earliest time each watched event comes, if it comes at all.
  std::optional<std::uint64_t> txAt, rxAt, errAt, ctsAt;
  if (mask & EV_TXEMPTY) {
    if (TxEmpty_ == TxEmpty::AtOnce) txAt = Now_;
    if (TxEmpty_ == TxEmpty::AfterWireTime) txAt = std::max(Now_, TxDoneAt_);
  }
  if (mask & EV_RXCHAR) rxAt = Arrived_.empty() ? NextByteTime() : std::optional(Now_);
  if ((mask & EV_ERR) && (Errors_ & (CE_FRAME | CE_OVERRUN | CE_RXPARITY))) errAt = Now_;
  if ((mask & EV_CTS) && !CtsNever_ && CtsDelay_ && CtsOnAt_ && *CtsOnAt_ > Now_)
    ctsAt = CtsOnAt_;

  std::optional<std::uint64_t> first;
  for (const auto& t : {txAt, rxAt, errAt, ctsAt})
    if (t && (!first || *t < *first)) first = t;

  events = 0;
  if (first && *first <= limit) {
    AdvanceTo(*first);
    if (txAt && *txAt == *first) events |= EV_TXEMPTY;
    if (rxAt && *rxAt == *first) events |= EV_RXCHAR;
    if (errAt && *errAt == *first) events |= EV_ERR;
    if (ctsAt && *ctsAt == *first) events |= EV_CTS;
  } else {
    AdvanceTo(limit);
  }
  Calls_[i].detail = "events=" + HexWord(events);
  return true;
}

bool FakePlatform::PurgeComm(CommHandle h, std::uint32_t flags) {
  const std::size_t i = Record("PurgeComm", "", flags);
  if (ShouldFail("PurgeComm") || !DeviceOf(h)) return Failed(i);
  TakeDue();
  // Only what has already reached the port is dropped; later arrivals still come.
  if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) Arrived_.clear();
  if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) TxDoneAt_ = Now_;
  return true;
}

bool FakePlatform::ClearCommError(CommHandle h, std::uint32_t& errors) {
  const std::size_t i = Record("ClearCommError", "", 0);
  if (ShouldFail("ClearCommError") || !DeviceOf(h)) return Failed(i);
  TakeDue();
  errors = Errors_;
  Errors_ = 0;
  Calls_[i].value = errors;
  return true;
}

bool FakePlatform::EscapeCommFunction(CommHandle h, std::uint32_t function) {
  const std::size_t i = Record("EscapeCommFunction", EscapeName(function), function);
  if (ShouldFail("EscapeCommFunction") || !DeviceOf(h)) return Failed(i);
  switch (function) {
    case SETRTS:
      if (!Rts_ && CtsDelay_) CtsOnAt_ = Now_ + *CtsDelay_;
      Rts_ = true;
      break;
    case CLRRTS:
      Rts_ = false;
      CtsOnAt_.reset();
      break;
    case SETDTR: Dtr_ = true; break;
    case CLRDTR: Dtr_ = false; break;
    case 1: case 2: case 8: case 9: break;  // XOFF, XON, break on/off: accepted, not modelled
    default: return Failed(i);
  }
  return true;
}

bool FakePlatform::GetCommModemStatus(CommHandle h, std::uint32_t& status) {
  const std::size_t i = Record("GetCommModemStatus", "", 0);
  if (ShouldFail("GetCommModemStatus") || !DeviceOf(h)) return Failed(i);
  status = ModemStatus();
  Calls_[i].value = status;
  return true;
}

bool FakePlatform::ReadFile(CommHandle h, void* buffer, std::uint32_t count,
                            std::uint32_t& read) {
  const std::size_t i = Record("ReadFile", "", count);
  read = 0;
  Device* d = DeviceOf(h);
  if (ShouldFail("ReadFile") || !d || (count > 0 && !buffer)) return Failed(i);
  TakeDue();
  if (AbortOnError_ && d->state.fAbortOnError && Errors_ != 0) return Failed(i);

  // The same time-out rule as the POSIX backend's emulation.
  const ReadRule rule = ReadRuleFor(d->timeouts, count);
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t start = Now_;
  std::uint64_t lastByteAt = start;
  for (;;) {
    std::size_t take = std::min<std::size_t>(count - read, Arrived_.size());
    for (std::size_t k = 0; k < take; ++k) {
      out[read++] = Arrived_[k].byte;
      lastByteAt = std::max(start, Arrived_[k].at);
    }
    Arrived_.erase(Arrived_.begin(), Arrived_.begin() + static_cast<std::ptrdiff_t>(take));
    if (ReadDone(rule, read, count)) break;

    std::uint64_t stop = 0;
    const bool bounded = ReadEnd(rule, start, read, lastByteAt, stop);
    // The next thing that can bring bytes: a scheduled byte or a scripted action.
    std::optional<std::uint64_t> next = NextByteTime();
    const std::optional<std::uint64_t> act = NextActionTime();
    if (act && (!next || *act < *next)) next = act;
    if (next && (!bounded || *next <= stop)) {
      AdvanceTo(std::max(*next, Now_));
      if (AbortOnError_ && d->state.fAbortOnError && Errors_ != 0) return Failed(i);
      continue;
    }
    // Nothing more will come: wait out the deadline, or (no deadline at all, where the real
    // port would block for ever) return with what there is.
    if (bounded) AdvanceTo(stop);
    break;
  }
  Calls_[i].detail = Hex(out, read);
  return true;
}

bool FakePlatform::WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                             std::uint32_t& written) {
  written = 0;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  const std::size_t i = Record("WriteFile", in ? Hex(in, count) : "", count);
  Device* d = DeviceOf(h);
  if (ShouldFail("WriteFile") || !d || (count > 0 && !in)) return Failed(i);

  const std::uint64_t start = Now_;
  const std::uint32_t accepted = WriteAccepts_ ? std::min(count, *WriteAccepts_) : count;
  Bytes bytes(in, in + accepted);
  Writes_.push_back(bytes);
  const auto wire = static_cast<std::uint64_t>(std::ceil(WireTimeMs(accepted)));
  if (WriteTakesWireTime_) AdvanceTo(start + wire);
  if (accepted < count) {
    const std::uint64_t deadline = start +
                                   std::uint64_t{d->timeouts.WriteTotalTimeoutMultiplier} * count +
                                   d->timeouts.WriteTotalTimeoutConstant;
    AdvanceTo(std::max(Now_, deadline));
  }
  TxDoneAt_ = std::max(Now_, start + wire);
  LastWriteEnd_ = Now_;
  Written_ = true;
  written = accepted;
  if (Responder_) {
    Responder responder = Responder_;  // the hook may replace itself
    responder(*this, bytes);
  }
  return true;
}

bool FakePlatform::GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) {
  const std::size_t i = Record("GetVersionEx", "", structSize);
  if (ShouldFail("GetVersionEx") || VersionFailSizes_.count(structSize)) return Failed(i);
  platformId = PlatformId_;
  return true;
}

std::uint32_t FakePlatform::GetTickCount() {
  const auto tick = static_cast<std::uint32_t>(Now_);
  if (RecordTicks_) Record("GetTickCount", "", tick);
  return tick;
}

void FakePlatform::Sleep(std::uint32_t ms) {
  Record("Sleep", "", ms);
  AdvanceTo(Now_ + ms);
}

void FakePlatform::ProcessPendingMessages() {
  ++MessagePumps_;
  Record("ProcessPendingMessages", "", static_cast<std::uint32_t>(MessagePumps_));
  if (MessageHook_) {
    Hook hook = MessageHook_;
    hook(*this);
  }
}

}  // namespace vkt::test
