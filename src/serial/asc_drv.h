// TAscDrv: the serial line driver at the base of the driver chain. Owns one COM port: line
// settings as fields with setters, exclusive open with the previous state saved and put back
// at close, time-outs derived from the baud rate, timed reads and writes, RTS/DTR/CTS.
#pragma once

#include <cstdint>

#include "common/result_codes.h"
#include "serial/comm_platform.h"
#include "common/component.h"

namespace vkt {

class TAscDrv : public TComponent {
 public:
  // `platform` is the operating system seam; the system's own backend unless a test
  // supplies another.
  explicit TAscDrv(TComponent* owner, serial::CommPlatform* platform = nullptr);
  ~TAscDrv() override;

  // Acquire, configure and activate the port; success shows only as Active.
  virtual void OpenPort();
  // Restore and release the port; Active false.
  virtual void ClosePort();

  void SetActive(bool value);
  void ResetPort();

  // True while the port is closed because a reset could not open it again (the device went
  // away). A request then calls RetryReopen, which opens the port again through the virtual
  // slot, at most once a second, so a device that is back is used without a restart. True
  // when the port is active.
  bool ReopenPending() const { return ReopenPending_; }
  bool RetryReopen();

  void SetPortNumber(std::int32_t value);
  void SetBaudRate(std::int32_t value);
  void SetDataBits(std::int32_t value);
  void SetParity(std::int32_t value);
  void SetStopBits(std::int32_t value);
  void SetRadioMode(bool value);
  void SetRs485Mode(bool value);
  void SetModemMode(bool value);

  // Timed byte I/O and line control. `count` is in/out: bytes asked on entry, moved on return.
  void SetTimeouts(std::int32_t readConstant, std::int32_t writeConstant);
  ResultCode ReadBytes(void* buffer, std::int32_t& count);
  ResultCode WriteBytes(const void* buffer, std::int32_t& count);
  std::int32_t WaitQuiet(std::int32_t timeoutMs);
  void PurgeLine();
  void EscapeFunction(std::uint32_t function);
  void SetRts(bool raise);
  void SetDtr(bool raise);
  void GetModemStatus(std::uint32_t& status);
  void WaitLineEvent(std::uint32_t& mask);

  // Read-only view of the fields.
  std::int32_t PortNumber() const { return PortNumber_; }
  std::int32_t BaudRate() const { return BaudRate_; }
  std::int32_t DataBits() const { return DataBits_; }
  std::int32_t Parity() const { return Parity_; }
  std::int32_t StopBits() const { return StopBits_; }
  bool RadioMode() const { return RadioMode_; }
  bool Rs485Mode() const { return Rs485Mode_; }
  bool ModemMode() const { return ModemMode_; }
  bool Active() const { return Active_; }
  serial::CommHandle PortHandle() const { return PortHandle_; }
  const serial::CommState& SavedState() const { return SavedState_; }
  const serial::CommTimeouts& SavedTimeouts() const { return SavedTimeouts_; }
  std::uint32_t SavedEventMask() const { return SavedEventMask_; }
  const serial::CommState& WorkState() const { return WorkState_; }
  std::int32_t Platform() const { return Platform_; }
  ResultCode InitError() const { return InitError_; }

  // Character time in ms for the current line settings.
  float CharacterTime() const;

  serial::CommPlatform& Os() const { return *Os_; }

 private:
  void QueryPlatform();
  void AcquirePort();
  void ReleasePort();
  bool ConfigurePort();
  void Reopen();

  serial::CommPlatform* Os_;

  std::int32_t PortNumber_ = 1;
  std::int32_t BaudRate_ = 9600;
  std::int32_t DataBits_ = 8;
  std::int32_t Parity_ = 0;
  std::int32_t StopBits_ = 1;
  bool RadioMode_ = false;
  bool Rs485Mode_ = false;
  bool ModemMode_ = false;

  bool Active_ = false;
  serial::CommHandle PortHandle_ = serial::kNoHandle;
  serial::CommState SavedState_{};
  serial::CommTimeouts SavedTimeouts_{};
  std::uint32_t SavedEventMask_ = 0;
  serial::CommState WorkState_{};
  std::int32_t Platform_ = 0;
  ResultCode InitError_ = kOk;

  bool ReopenPending_ = false;
  std::uint32_t LastReopenTry_ = 0;

  // Bytes handed to the last write, to bound the wait for the transmitter to empty.
  std::int32_t LastWriteBytes_ = 0;
};

}  // namespace vkt
