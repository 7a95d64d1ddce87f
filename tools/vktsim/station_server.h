// The stations' side of the protocol: finds request frames in the received bytes, answers
// them from the station memory and puts the requested faults into the answers.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "line.h"
#include "options.h"
#include "replay.h"
#include "report.h"
#include "station_memory.h"

namespace vktsim {

// Status bytes the simulated controller answers with (all in the controller-error range).
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusUnknownCommand = 0x81;
inline constexpr std::uint8_t kStatusBadLength = 0x82;
inline constexpr std::uint8_t kStatusCountTooLarge = 0x83;

class StationServer {
 public:
  StationServer(const Options& options, StationMemory& memory, Line& line, Report& report);

  // One received byte.
  void Receive(std::uint8_t byte, std::int64_t nowUs);
  // Drops a frame that stopped short once the inter-byte gap has passed.
  void Poll(std::int64_t nowUs);
  // When Poll has something to do: -1 never.
  std::int64_t NextDueUs() const;
  // Answers every request from a recorded capture instead of the station memory.
  void SetReplay(Replay* replay) { replay_ = replay; }
  // Forgets a partly received frame (the line went away or changed mode).
  void Reset() { pendingLength_ = 0; }

 private:
  void Parse(bool gapPassed);
  void Drop(int n);
  void Serve(const std::uint8_t* frame, std::int64_t nowUs);
  void Respond(int station, std::uint8_t status, int dataLength, std::int64_t nowUs);
  bool Draw(double probability);

  const Options& options_;
  StationMemory& memory_;
  Line& line_;
  Report& report_;
  Replay* replay_ = nullptr;
  std::vector<FaultSpec> faults_;  // in the order they are applied
  std::mt19937 random_;
  std::int64_t gapUs_;
  std::int64_t lastByteUs_ = 0;
  int pendingLength_ = 0;
  std::uint8_t pending_[600];  // never more than one frame in progress plus one byte
  std::uint8_t data_[260];     // response data
  std::uint8_t out_[16 + 260]; // room for stray bytes in front of the frame
};

}  // namespace vktsim
