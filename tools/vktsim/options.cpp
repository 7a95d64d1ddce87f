#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vktsim {

namespace {

// A whole decimal or 0x-hex integer within [lo, hi].
bool ParseInt(const std::string& text, long lo, long hi, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  if (v < lo || v > hi) return false;
  value = v;
  return true;
}

bool ParseProbability(const std::string& text, double& p) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  p = v;
  return true;
}

struct FaultName_ {
  const char* name;
  FaultKind kind;
  bool takesArgument;
  bool needsArgument;
};

constexpr FaultName_ kFaultNames[] = {
    {"silence", FaultKind::kSilence, false, false},
    {"status", FaultKind::kStatus, true, true},
    {"short", FaultKind::kShort, false, false},
    {"long", FaultKind::kLong, false, false},
    {"checksum", FaultKind::kChecksum, false, false},
    {"truncate", FaultKind::kTruncate, false, false},
    {"truncated", FaultKind::kTruncate, false, false},
    {"stray", FaultKind::kStray, true, false},
    {"delay", FaultKind::kDelay, true, true},
};

}  // namespace

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kSilence: return "silence";
    case FaultKind::kStatus: return "status";
    case FaultKind::kShort: return "short";
    case FaultKind::kLong: return "long";
    case FaultKind::kChecksum: return "checksum";
    case FaultKind::kTruncate: return "truncate";
    case FaultKind::kStray: return "stray";
    case FaultKind::kDelay: return "delay";
  }
  return "?";
}

double Options::ByteTimeUs() const {
  const int parityBits = parity == 'N' ? 0 : 1;
  const int halfBits = 2 * (1 + dataBits + parityBits) + stopHalfBits;
  return halfBits * 1e6 / (2.0 * baud);
}

bool ParseStations(const std::string& text, std::array<bool, 256>& stations) {
  std::array<bool, 256> chosen{};
  if (text == "all") {
    for (int s = 1; s <= 255; ++s) chosen[s] = true;
    stations = chosen;
    return true;
  }
  std::size_t pos = 0;
  bool any = false;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(pos, comma - pos);
    const std::size_t dash = item.find('-');
    long first = 0, last = 0;
    if (dash == std::string::npos) {
      if (!ParseInt(item, 1, 255, first)) return false;
      last = first;
    } else if (!ParseInt(item.substr(0, dash), 1, 255, first) ||
               !ParseInt(item.substr(dash + 1), 1, 255, last) || last < first) {
      return false;
    }
    for (long s = first; s <= last; ++s) chosen[static_cast<std::size_t>(s)] = true;
    any = true;
    pos = comma + 1;
  }
  if (!any) return false;
  stations = chosen;
  return true;
}

bool ParseFault(const std::string& text, FaultSpec& fault, std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "fault \"" + text + "\" has no probability (NAME[=ARG]:PROBABILITY)";
    return false;
  }
  std::string head = text.substr(0, colon);
  std::string argument;
  const std::size_t eq = head.find('=');
  if (eq != std::string::npos) {
    argument = head.substr(eq + 1);
    head = head.substr(0, eq);
  }
  const FaultName_* entry = nullptr;
  for (const FaultName_& f : kFaultNames)
    if (head == f.name) entry = &f;
  if (entry == nullptr) {
    error = "unknown fault \"" + head + "\"";
    return false;
  }
  FaultSpec parsed;
  parsed.kind = entry->kind;
  if (!ParseProbability(text.substr(colon + 1), parsed.probability)) {
    error = "fault \"" + text + "\": probability must be a number from 0 to 1";
    return false;
  }
  if (eq != std::string::npos && !entry->takesArgument) {
    error = "fault \"" + head + "\" takes no argument";
    return false;
  }
  if (entry->needsArgument && eq == std::string::npos) {
    error = "fault \"" + head + "\" needs an argument (" + head + "=VALUE:PROBABILITY)";
    return false;
  }
  if (eq != std::string::npos) {
    long v = 0;
    long lo = 0, hi = 0;
    switch (parsed.kind) {
      case FaultKind::kStatus: lo = 0; hi = 255; break;
      case FaultKind::kDelay: lo = 0; hi = 600000; break;
      default: lo = 1; hi = 16; break;  // stray byte count
    }
    if (!ParseInt(argument, lo, hi, v)) {
      error = "fault \"" + text + "\": argument out of range";
      return false;
    }
    parsed.argument = static_cast<int>(v);
  }
  fault = parsed;
  return true;
}

ParseOutcome ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  for (int s = 1; s <= 255; ++s) o.stations[s] = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](long lo, long hi, int& out) {
      std::string text;
      if (!value(text)) return false;
      long v = 0;
      if (!ParseInt(text, lo, hi, v)) {
        error = "option " + arg + ": \"" + text + "\" is not a number from " +
                std::to_string(lo) + " to " + std::to_string(hi);
        return false;
      }
      out = static_cast<int>(v);
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") return ParseOutcome::kHelp;
    if (arg == "--device") {
      if (!value(o.device)) return ParseOutcome::kError;
    } else if (arg == "--link") {
      if (!value(o.link)) return ParseOutcome::kError;
    } else if (arg == "--baud") {
      if (!number(50, 4000000, o.baud)) return ParseOutcome::kError;
    } else if (arg == "--parity") {
      if (!value(text)) return ParseOutcome::kError;
      if (text == "none") o.parity = 'N';
      else if (text == "odd") o.parity = 'O';
      else if (text == "even") o.parity = 'E';
      else if (text == "mark") o.parity = 'M';
      else if (text == "space") o.parity = 'S';
      else {
        error = "--parity: none, odd, even, mark or space";
        return ParseOutcome::kError;
      }
    } else if (arg == "--data-bits") {
      if (!number(5, 8, o.dataBits)) return ParseOutcome::kError;
    } else if (arg == "--stop-bits") {
      if (!value(text)) return ParseOutcome::kError;
      if (text == "1") o.stopHalfBits = 2;
      else if (text == "1.5") o.stopHalfBits = 3;
      else if (text == "2") o.stopHalfBits = 4;
      else {
        error = "--stop-bits: 1, 1.5 or 2";
        return ParseOutcome::kError;
      }
    } else if (arg == "--pace") {
      o.pace = true;
    } else if (arg == "--stations") {
      if (!value(text)) return ParseOutcome::kError;
      if (!ParseStations(text, o.stations)) {
        error = "--stations: a list such as 1,2,7-9 of stations 1 to 255, or all";
        return ParseOutcome::kError;
      }
    } else if (arg == "--pattern") {
      o.pattern = true;
    } else if (arg == "--counter") {
      if (!value(text)) return ParseOutcome::kError;
      const std::size_t colon = text.find(':');
      long station = 0, address = 0;
      if (colon == std::string::npos || !ParseInt(text.substr(0, colon), 1, 255, station) ||
          !ParseInt(text.substr(colon + 1), 0, 65535, address)) {
        error = "--counter: STATION:ADDRESS, a station 1 to 255 and a word address 0 to 65535";
        return ParseOutcome::kError;
      }
      o.counters.push_back({static_cast<int>(station), static_cast<int>(address)});
    } else if (arg == "--fault") {
      if (!value(text)) return ParseOutcome::kError;
      FaultSpec fault;
      if (!ParseFault(text, fault, error)) return ParseOutcome::kError;
      o.faults.push_back(fault);
    } else if (arg == "--seed") {
      if (!value(text)) return ParseOutcome::kError;
      long v = 0;
      if (!ParseInt(text, 0, 0xFFFFFFFFL, v)) {
        error = "--seed: a number from 0 to 4294967295";
        return ParseOutcome::kError;
      }
      o.seed = static_cast<std::uint32_t>(v);
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--gap") {
      if (!number(1, 60000, o.gapMs)) return ParseOutcome::kError;
    } else if (arg == "--reply-delay") {
      if (!number(0, 60000, o.replyDelayMs)) return ParseOutcome::kError;
    } else if (arg == "--modem") {
      o.modem = true;
    } else if (arg == "--modem-words") {
      o.modem = true;
      o.modemWords = true;
    } else if (arg == "--modem-busy") {
      o.modem = true;
      o.modemBusy = true;
    } else if (arg == "--modem-connect-delay") {
      if (!number(0, 600000, o.modemConnectDelayMs)) return ParseOutcome::kError;
    } else if (arg == "--memory-file") {
      if (!value(o.memoryFile)) return ParseOutcome::kError;
    } else if (arg == "--capture") {
      if (!value(o.captureFile)) return ParseOutcome::kError;
    } else if (arg == "--replay") {
      if (!value(o.replayFile)) return ParseOutcome::kError;
    } else if (arg == "--init-file") {
      if (!value(o.initFile)) return ParseOutcome::kError;
    } else {
      error = "unknown option " + arg + " (see --help)";
      return ParseOutcome::kError;
    }
  }
  if (o.stopHalfBits == 3 && o.dataBits != 5) {
    error = "--stop-bits 1.5 goes only with --data-bits 5";
    return ParseOutcome::kError;
  }
  if (o.stopHalfBits == 4 && o.dataBits == 5) {
    error = "--data-bits 5 takes --stop-bits 1 or 1.5";
    return ParseOutcome::kError;
  }
  return ParseOutcome::kRun;
}

const char* HelpText() {
  return R"(usage: vktsim [OPTIONS]

Simulates VKT controller stations on a serial line: answers every request frame
addressed to a served station from that station's memory, optionally behind an
emulated dial-up modem, and injects faults on request.

Line:
  (no --device)          create a pseudo-terminal; the first line on stdout is
                         "vktsim: listening on /dev/pts/N"; open that device as
                         the serial port. The line is raw: every byte unchanged.
  --link PATH            also make PATH a symlink to the pseudo-terminal (an old
                         symlink there is replaced; removed again at exit)
  --device PATH          serve a real serial device instead
  --baud N               line speed (default 9600); a real device takes the
                         standard speeds only
  --parity P             none|odd|even|mark|space (default none)
  --data-bits N          5..8 (default 8)
  --stop-bits N          1|1.5|2 (default 1; 1.5 only with 5 data bits)
  --pace                 write responses at the wire speed of the framing above
                         (start bit + data bits + parity + stop bits per byte at
                         --baud), so the reader sees real transmission times
  --gap MS               a request frame that stops short is dropped after MS
                         without a byte (default 50; never below 4 byte times)
  --reply-delay MS       turn-around time before every response (default 0)

Stations:
  --stations LIST        stations served, e.g. 1,2,7-9, or all (default all);
                         frames to other stations get no answer
  --pattern              preset memory instead of zeros: bit[a] = a & 1,
                         word[a] = a (as 16 bits), float[a] = a + 0.5
  --init-file PATH       preload values (after --pattern), format below
  --counter STATION:ADDRESS  the word at ADDRESS of STATION goes up by one
                         after every read of it (may be given several times),
                         so each poll sees a new value
  --memory-file PATH     at exit and on SIGUSR1, write every element that a
                         request wrote, per station, format below (written to
                         PATH.tmp and renamed, so a reader never sees half)

  Each station has 65536 bits (one byte each, as sent), 65536 words and 65536
  floats. Commands: 0x90/0x91/0x92 read bits/words/floats, 0x94/0x95/0x96
  write them; data: address (2 bytes, low first), count (1 byte), then for
  writes the values. Addresses wrap at 65536. Responses carry a status byte in
  place of the command:
    0x00  success
    0x81  unknown command
    0x82  data length does not fit the command (or the count)
    0x83  read count too large for one response (more than 252 data bytes)
  Request frames with a bad checksum get no answer. Bytes before the start
  byte 0x5A are skipped.

Memory and init file format: one element per line,
    STATION KIND ADDRESS VALUE [VALUE...]
  KIND is bit, word or float; further values go to the following addresses.
  bit values 0..255 (the byte stored), word values -32768..65535 or 0xHHHH,
  float values decimal (e.g. 1.5) or 0xHHHHHHHH for the raw IEEE-754 bits.
  Numbers may be decimal or 0x hex; '#' starts a comment. The memory file
  writes words as signed decimals, floats with 9 significant digits (raw bits
  for NaN and infinities), and can be read back as an init file.

Faults (each response draws each fault with its own probability):
  --fault NAME[=ARG]:P   P from 0 to 1; may be given several times. NAMEs:
      silence            no response
      status=V           status byte V (0..255) and no data
      short              one data byte fewer (reads only)
      long               one data byte more
      checksum           wrong checksum
      truncate           the frame stops after a random part of it
      stray[=N]          N bytes (default 1 to 3 at random) before the start byte
      delay=MS           response held back MS milliseconds
  --seed N               seed of the fault draws (default 1); the same seed and
                         the same requests give the same faults

Modem:
  --modem                put a dial-up modem in front of the stations: AT
                         commands ended by CR, echo on, numeric replies
                         ("<n>\r": 0 OK, 1 CONNECT, 3 NO CARRIER, 4 ERROR,
                         7 BUSY); frames pass only once connected
  --modem-words          word replies ("\r\nOK\r\n") as the default (implies
                         --modem)
  --modem-busy           every dial answers BUSY (implies --modem)
  --modem-connect-delay MS  time from dial to CONNECT (default 500)

  Commands: AT, ATZ and AT&F (back to echo on and the default replies),
  ATE0/ATE1, ATV0/ATV1, ATQ0/ATQ1, ATH/ATH0 (hang up), ATH1, ATO (back on
  line), ATSn=v, ATSn?, AT&<letter><n>, ATI, and the settings F, X, L, M, B, W,
  N, C, Y, P, T, R with an optional number; several per line (spaces ignored);
  anything else answers ERROR. ATD<number> dials (modifiers T, P, W, commas
  allowed); a byte received while dialling aborts with NO CARRIER. Once
  connected, "+++" with a guard time (S12, 50ths of a second, default 1 s) of
  silence before and after it returns to command mode with OK; a single CR
  right after the "+++" is ignored. Closing the pseudo-terminal drops the call,
  as dropping DTR would on a real line.

Capture:
  --capture FILE         record every byte the simulator receives and sends
                         into FILE as pcapng (link type 250, RTAC serial), for
                         Wireshark with tools/wireshark/vkt.lua or vkthost decode
  --replay FILE          answer from a capture (of either end) instead of the
                         station memory: each request gets what followed the
                         same request bytes in FILE, at the recorded time after
                         it, faults included; repeats of a request get the
                         answers of its repeats in order. A request not in FILE
                         (or asked more often) gets silence and a line on stderr

Output:
  --trace                decoded trace of every request, response, fault and
                         modem line on stderr, with seconds since start
  At exit (SIGINT or SIGTERM) the counts of requests per command and station,
  faults injected and modem events are printed on stderr.
  --help                 this text (also -h)
Exit status: 0 after a clean stop, 1 when the line fails, 2 for bad options.
)";
}

}  // namespace vktsim
