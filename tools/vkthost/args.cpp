#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vkthost {

namespace {

bool ParseLong(const std::string& text, long lo, long hi, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool ParseFloat(const std::string& text, float& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const float v = std::strtof(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return false;
  if (errno == ERANGE && std::isinf(v)) return false;  // a value beyond the float range
  value = v;
  return true;
}

bool ParseKind(const std::string& text, Kind& kind) {
  if (text == "bit") kind = kBit;
  else if (text == "word") kind = kWord;
  else if (text == "float") kind = kFloat;
  else if (text == "reg") kind = kReg;
  else return false;
  return true;
}

// STATION KIND ADDRESS: the part every tag command starts with.
bool ParseTag(const std::vector<std::string>& a, std::size_t& i, Command& c, std::string& error) {
  if (a.size() < i + 3) {
    error = "expected STATION KIND ADDRESS";
    return false;
  }
  long v = 0;
  if (!ParseLong(a[i], -32768, 32767, v)) {
    error = "station \"" + a[i] + "\" is not a number (1..255)";
    return false;
  }
  c.station = static_cast<std::int16_t>(v);
  if (!ParseKind(a[i + 1], c.kind)) {
    error = "kind \"" + a[i + 1] + "\" is not one of bit, word, float, reg";
    return false;
  }
  const long maxAddress = c.kind == kReg ? 3 : 65535;
  if (!ParseLong(a[i + 2], 0, maxAddress, v)) {
    error = c.kind == kReg ? "error register \"" + a[i + 2] + "\" is not 0..3"
                           : "address \"" + a[i + 2] + "\" is not 0..65535";
    return false;
  }
  c.address = static_cast<std::uint16_t>(v);
  i += 3;
  return true;
}

bool ParseCount(const std::string& text, Command& c, long lo, std::string& error) {
  long v = 0;
  const long hi = c.kind == kReg ? 4 - c.address : 65535;
  if (!ParseLong(text, lo, hi, v)) {
    error = "count \"" + text + "\" is not " + std::to_string(lo) + ".." + std::to_string(hi);
    return false;
  }
  c.count = static_cast<std::uint16_t>(v);
  c.hasCount = true;
  return true;
}

bool ParseCommand(const std::vector<std::string>& a, Command& c, std::string& error) {
  if (a.empty()) {
    error = "missing command";
    return false;
  }
  const std::string& verb = a[0];
  std::size_t i = 1;
  if (verb == "read") {
    c.verb = Verb::kRead;
    if (!ParseTag(a, i, c, error)) return false;
    if (i < a.size() && !ParseCount(a[i++], c, 0, error)) return false;
  } else if (verb == "write") {
    c.verb = Verb::kWrite;
    if (!ParseTag(a, i, c, error)) return false;
    if (i >= a.size()) {
      error = "write needs at least one VALUE";
      return false;
    }
    for (; i < a.size(); ++i) {
      long v = 0;
      float f = 0;
      if (c.kind == kFloat) {
        if (!ParseFloat(a[i], f)) {
          error = "value \"" + a[i] + "\" is not a float";
          return false;
        }
        c.floats.push_back(f);
      } else if (c.kind == kBit) {
        if (!ParseLong(a[i], 0, 1, v)) {
          error = "bit value \"" + a[i] + "\" is not 0 or 1";
          return false;
        }
        c.ints.push_back(static_cast<std::int32_t>(v));
      } else {
        // A register takes no writes; the driver says so with its own code.
        if (!ParseLong(a[i], -32768, 65535, v)) {
          error = "word value \"" + a[i] + "\" is not -32768..65535";
          return false;
        }
        c.ints.push_back(static_cast<std::int32_t>(v));
      }
    }
    const std::size_t n = c.kind == kFloat ? c.floats.size() : c.ints.size();
    if (n > 65535) {
      error = "too many values";
      return false;
    }
    c.count = static_cast<std::uint16_t>(n);
  } else if (verb == "poll") {
    c.verb = Verb::kPoll;
    if (!ParseTag(a, i, c, error)) return false;
    if (i >= a.size()) {
      error = "poll needs a COUNT";
      return false;
    }
    if (!ParseCount(a[i++], c, 1, error)) return false;
    for (; i < a.size(); ++i) {
      long v = 0;
      if (a[i] == "--interval" && i + 1 < a.size()) {
        if (!ParseLong(a[++i], 0, 3600000, v)) {
          error = "--interval \"" + a[i] + "\" is not 0..3600000 ms";
          return false;
        }
        c.intervalMs = static_cast<int>(v);
      } else if (a[i] == "--times" && i + 1 < a.size()) {
        if (!ParseLong(a[++i], 1, 1000000000L, v)) {
          error = "--times \"" + a[i] + "\" is not a positive number";
          return false;
        }
        c.times = v;
      } else {
        error = "unexpected \"" + a[i] + "\" after poll";
        return false;
      }
    }
    return true;
  } else if (verb == "codes") {
    c.verb = Verb::kCodes;
    if (i < a.size() && a[i] == "--markdown") {
      c.markdown = true;
      ++i;
    }
  } else if (verb == "demo") {
    c.verb = Verb::kDemo;
  } else if (verb == "decode") {
    c.verb = Verb::kDecode;
    for (; i < a.size(); ++i) {
      if (a[i] == "--json") c.json = true;
      else if (c.file.empty()) c.file = a[i];
      else break;
    }
    if (c.file.empty()) {
      error = "decode needs a capture FILE";
      return false;
    }
  } else {
    error = "unknown command \"" + verb + "\"";
    return false;
  }
  if (i < a.size()) {
    error = "unexpected \"" + a[i] + "\" after " + verb;
    return false;
  }
  return true;
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case kBit: return "bit";
    case kWord: return "word";
    case kFloat: return "float";
    case kReg: return "reg";
  }
  return "?";
}

bool NeedsDriver(const std::vector<Command>& commands) {
  for (const Command& c : commands)
    if (c.verb != Verb::kCodes && c.verb != Verb::kDecode) return true;
  return false;
}

bool ParseArgs(int argc, char** argv, Options& options, std::vector<Command>& commands,
               std::string& error) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    if (arg.rfind("--", 0) != 0) break;
    if (i + 1 >= argc) {
      error = "option " + arg + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--driver") {
      options.driver = value;
    } else if (arg == "--dir") {
      options.dir = value;
    } else if (arg == "--capture") {
      options.capture = value;
    } else if (arg == "--sim") {
      options.sim = value;
    } else if (arg == "--log") {
      if (value == "new") options.logCode = kLogNewFile;
      else if (value == "append") options.logCode = kLogAppend;
      else {
        error = "--log takes new or append";
        return false;
      }
    } else if (arg == "--port") {
      // COMn=DEVICE, n from 1 to 8
      const std::size_t eq = value.find('=');
      long n = 0;
      if (eq == std::string::npos || value.compare(0, 3, "COM") != 0 ||
          !ParseLong(value.substr(3, eq - 3), 1, 8, n) || eq + 1 >= value.size()) {
        error = "--port takes COMn=DEVICE with n from 1 to 8";
        return false;
      }
      options.ports.emplace_back(static_cast<int>(n), value.substr(eq + 1));
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (i >= argc) {
    error = "missing command";
    return false;
  }
  std::vector<std::string> words;
  for (; i <= argc; ++i) {
    if (i == argc || std::strcmp(argv[i], "then") == 0) {
      Command c;
      if (!ParseCommand(words, c, error)) return false;
      commands.push_back(c);
      words.clear();
    } else {
      words.push_back(argv[i]);
    }
  }
  for (const Command& c : commands)
    if ((c.verb == Verb::kDemo || c.verb == Verb::kDecode) && commands.size() > 1) {
      error = c.verb == Verb::kDemo ? "demo runs alone" : "decode runs alone";
      return false;
    }
  return true;
}

const char* Usage() {
  return
      "usage: vkthost [OPTIONS] COMMAND [then COMMAND]...\n"
      "\n"
      "Talks to VKT stations through the driver library, as a host does: starts the\n"
      "driver (which reads VktJX.Cfg in the settings directory), runs the commands,\n"
      "stops it.\n"
      "\n"
      "Options (before the command):\n"
      "  --driver PATH        driver library (default: libvktjx.so next to vkthost,\n"
      "                       then the installed library directory)\n"
      "  --dir DIR            settings directory holding VktJX.Cfg (default: current)\n"
      "  --port COMn=DEVICE   serial device of port COMn for this run (n 1..8), e.g.\n"
      "                       --port COM1=/dev/ttyUSB0; sets VKTJX_COMn\n"
      "  --log new|append     driver log on (VKTJX_LOG, else VKTJX.log in DIR)\n"
      "  --capture FILE       record the line into FILE (pcapng, for Wireshark or\n"
      "                       vkthost decode); sets VKTJX_CAPTURE\n"
      "  --sim PATH           demo: the station simulator (default: vktsim next to vkthost)\n"
      "\n"
      "Commands (KIND is bit, word, float or reg, the error registers 0..3):\n"
      "  read STATION KIND ADDRESS [COUNT]\n"
      "                       one value, or a block of COUNT values\n"
      "  write STATION KIND ADDRESS VALUE...\n"
      "                       one value, or a block of several\n"
      "  poll STATION KIND ADDRESS COUNT [--interval MS] [--times N]\n"
      "                       read again and again (default every 1000 ms, until\n"
      "                       Ctrl-C): live view on a terminal, else one line a read\n"
      "  codes [--markdown]   every result code with its message\n"
      "  demo                 the driver against a simulated line, no hardware\n"
      "  decode FILE [--json] a line capture (--capture) as text, one line a frame,\n"
      "                       and a summary per station; --json: JSON lines\n"
      "\n"
      "Commands joined by \"then\" run in one start of the driver, e.g.\n"
      "  vkthost read 9 word 0 then read 0 reg 0 4\n"
      "\n"
      "Exit status: 0 success, 1 a failed operation, 2 bad arguments.\n";
}

}  // namespace vkthost
