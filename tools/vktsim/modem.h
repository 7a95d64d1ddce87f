// A dial-up modem in front of the stations: AT command mode with echo and numeric or word
// replies, a dial that connects after a delay, on-line mode that passes bytes to the
// stations, the "+++" escape with guard times, and hang-up.
#pragma once

#include <cstdint>

#include "line.h"
#include "options.h"
#include "report.h"
#include "station_server.h"

namespace vktsim {

class Modem {
 public:
  Modem(const Options& options, Line& line, StationServer& stations, Report& report);

  void Receive(std::uint8_t byte, std::int64_t nowUs);
  // Finishes a dial or an escape whose time has come.
  void Poll(std::int64_t nowUs);
  std::int64_t NextDueUs() const;
  // The other side closed the line: as with DTR dropped, a call in progress ends.
  void LineClosed(std::int64_t nowUs);

 private:
  enum class State { kCommand, kDialing, kOnline };
  enum Result { kOk = 0, kConnect = 1, kNoCarrier = 3, kError = 4, kBusy = 7 };

  void ResetProfile();
  void Execute(std::int64_t nowUs);
  void Reply(Result result, std::int64_t nowUs);
  void SendText(const char* text, std::int64_t nowUs);
  void HangUp(const char* why);

  const Options& options_;
  Line& line_;
  StationServer& stations_;
  Report& report_;

  State state_ = State::kCommand;
  bool connected_ = false;  // a call is up, on line or in command mode after "+++"
  bool echo_ = true;
  bool words_ = false;
  bool quiet_ = false;
  int registers_[100] = {};
  char command_[81] = {};
  int commandLength_ = 0;
  bool commandOverflow_ = false;
  std::int64_t dialDoneUs_ = 0;
  // Escape detection while on line.
  std::int64_t lastByteUs_ = 0;
  int plusCount_ = 0;
  bool crAfterPlus_ = false;
  std::int64_t escapeDueUs_ = 0;
};

}  // namespace vktsim
