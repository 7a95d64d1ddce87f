// TAscModemDrv: the serial line driver with the settings in force and the dial-up modem.
// In modem mode an open with auto-connect dials the configured number with AT commands, and
// a close while connected hangs up first.
#pragma once

#include <cstdint>

#include "common/result_codes.h"
#include "serial/asc_drv.h"
#include "settings/driver_settings.h"

namespace vkt {

// Modem states; 5 and 6 are not used.
enum TModemState : std::int32_t {
  msIdle = 0,
  msOnHook = 1,
  msHangingUp = 2,
  msDialing = 3,
  msConnected = 4,
  msFailed = 7,
};

// Selectors of SendStandardCommand.
inline constexpr std::int32_t kModemCheckCommand = 0;
inline constexpr std::int32_t kModemResetCommand = 1;

// The reply text kept from the modem: this many characters and a NUL.
inline constexpr int kModemReplyLimit = 99;
using TModemReply = char[kModemReplyLimit + 1];

class TAscModemDrv : public TAscDrv {
 public:
  explicit TAscModemDrv(TComponent* owner, serial::CommPlatform* platform = nullptr);
  ~TAscModemDrv() override;

  // The settings in force; changed only by ApplySettings.
  TDriverSettings Settings{};

  // Reads and validates `fileName` into `record`; does not touch Settings.
  ResultCode LoadSettings(const char* fileName, TDriverSettings& record);
  // Takes `record` into force and pushes its serial values into the line driver. No check:
  // only records that LoadSettings accepted are passed.
  void ApplySettings(const TDriverSettings& record);
  // Pushes the serial values of the settings in force again.
  void ApplySettings();

  // Opens the port and, in modem mode with auto-connect and a number, dials it. The dial's
  // outcome shows only in ModemState.
  void OpenPort() override;
  // In modem mode hangs up a connected call, then closes the port.
  void ClosePort() override;

  // Reset, init and dial: msConnected on success, else msFailed.
  ResultCode Dial(const char* phone);
  // Escape to command mode and hang up: msOnHook on success, else msFailed.
  ResultCode HangUp();
  // kModemCheckCommand sends the check string, kModemResetCommand the reset string.
  ResultCode SendStandardCommand(std::int32_t selector);
  // Sends `command` with a CR and waits up to `totalWaitMs` for the modem's reply.
  ResultCode SendModemCommand(const char* command, std::int32_t totalWaitMs);
  // Reads one reply, skipping the echo of `sent`, waiting up to `perByteMs` for each byte.
  ResultCode ReadModemResponse(const char* sent, TModemReply& reply, std::int32_t perByteMs);
  void SetModemState(std::int32_t state);

  bool ModemBusy() const { return ModemBusy_; }
  std::int32_t ModemState() const { return ModemState_; }

 private:
  // Length of one reply window and of each drain read, in ms.
  std::int32_t ReplyWindow() const;
  // Reads and drops what the modem still sends, then clears the port.
  void DrainLine();

  bool ModemBusy_ = false;
  std::int32_t ModemState_ = msIdle;
};

}  // namespace vkt
