#include "scenarios.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>

#include "fake_platform.h"
#include "protocol/frame.h"
#include "protocol/vkt_com_port.h"
#include "response_frame.h"
#include "serial/capture_platform.h"

namespace vkt::test {

namespace {

// 2026-01-01 00:00:00 UTC: where the virtual clock's zero lies in the captures.
constexpr std::uint64_t kEpochUs = 1767225600ull * 1000000;

class VirtualClock : public serial::CaptureClock {
 public:
  explicit VirtualClock(const FakePlatform& fake) : fake_(fake) {}
  std::uint64_t NowUs() override { return kEpochUs + fake_.Now() * 1000; }

 private:
  const FakePlatform& fake_;
};

Bytes Frame(int station, int status, const Bytes& data, bool badChecksum = false) {
  Bytes f = test::ResponseFrame(station, status, data);
  if (badChecksum) {
    // Both checksum bytes off by one bit.
    f[f.size() - 2] ^= 0x01;
    f[f.size() - 1] ^= 0x01;
  }
  return f;
}

// Stations whose word at address a is a and whose float at a is a + 0.5; writes are
// acknowledged. `fault` may change an answer: return false for no answer.
struct Stations {
  std::map<std::string, std::string> modem;  // command line -> reply
  std::function<bool(int request, Bytes& answer)> fault;
  int requests = 0;

  void Answer(FakePlatform& f, const Bytes& w) {
    if (w.empty() || w[0] != kStartByte) {
      const auto it = modem.find(std::string(w.begin(), w.end()));
      if (it != modem.end()) f.PushAfterWrite(20, Bytes(it->second.begin(), it->second.end()));
      return;
    }
    ++requests;
    const int command = w[3];
    const int address = w[4] | w[5] << 8;
    const int count = w[6];
    Bytes data;
    for (int e = 0; e < count && command <= kCmdReadFloats; ++e) {
      const int a = (address + e) & 0xFFFF;
      if (command == kCmdReadBits) {
        data.push_back(static_cast<std::uint8_t>(a & 1));
      } else if (command == kCmdReadWords) {
        data.push_back(static_cast<std::uint8_t>(a));
        data.push_back(static_cast<std::uint8_t>(a >> 8));
      } else {
        const float v = static_cast<float>(a) + 0.5f;
        std::uint32_t raw = 0;
        std::memcpy(&raw, &v, 4);
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
      }
    }
    Bytes answer = Frame(w[1], 0, data);
    if (fault && !fault(requests, answer)) return;
    // The station takes 8 ms to turn round; the bytes then come at 19200 baud, about 0.5 ms each.
    f.PushAfterWrite(8, answer);
  }
};

bool Run(const std::string& name, FakePlatform& fake, TVktComPort& port, Stations& stations,
         const std::string& settings, std::string& error) {
  std::uint8_t buffer[1200] = {};
  if (name == "worked") {
    stations.fault = [](int, Bytes& answer) {
      // the worked response: words 1234 and ABCD
      if (answer[3] == 0 && answer[2] == 4) answer = Frame(1, 0, {0x34, 0x12, 0xCD, 0xAB});
      return true;
    };
    port.ReadWords(1, 0x10, 0, buffer, 2);
    const std::uint8_t word[2] = {0x34, 0x12};
    port.WriteWords(5, 0x10, 0, word, 1);
    port.ReadFloats(2, 0, 0, buffer, 2);
    port.ReadBits(3, 4, 0, buffer, 3);
  } else if (name == "block") {
    port.ReadWords(7, 1000, 0, buffer, 300);
  } else if (name == "silent") {
    stations.fault = [](int, Bytes&) { return false; };
    port.ReadWords(9, 0, 0, buffer, 1);
  } else if (name == "checksum") {
    stations.fault = [](int request, Bytes& answer) {
      if (request == 1) answer = Frame(answer[1], 0, Bytes(answer.begin() + 4, answer.end() - 2), true);
      return true;
    };
    port.ReadWords(4, 0x20, 0, buffer, 2);
  } else if (name == "stray") {
    stations.fault = [](int, Bytes& answer) {
      answer.insert(answer.begin(), {0x00, 0x13});
      return true;
    };
    port.ReadWords(6, 3, 0, buffer, 1);
  } else if (name == "modem") {
    port.ReadWords(1, 0, 0, buffer, 1);
  } else {
    error = "no scenario " + name;
    return false;
  }
  (void)fake;
  (void)settings;
  return true;
}

}  // namespace

const std::vector<std::string>& CaptureScenarios() {
  static const std::vector<std::string> names = {"worked", "block",  "silent",
                                                 "checksum", "stray", "modem"};
  return names;
}

bool MakeScenarioCapture(const std::string& name, const std::string& path, std::string& error) {
  FakePlatform fake;
  fake.SetRecordTicks(false);
  Stations stations;
  fake.SetResponder([&](FakePlatform& f, const Bytes& w) { stations.Answer(f, w); });
  std::string keys = "[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\npcpsVktComRetry=2\n";
  if (name == "modem") {
    keys += "pcpsModemSuport=1\npcpsModemPort=1\npcpsAutoConnect=1\npcpsPhone=5551234\n";
    stations.modem["ATZ\r"] = "ATZ\r0\r";  // the modem echoes until told not to
    stations.modem["ATV0 E0 F1 H0r\r"] = "0\r";
    stations.modem["ATD 5551234\r"] = "1\r";
    stations.modem["+++\r"] = "0\r";
    stations.modem["ATH0\r"] = "0\r";
  }
  const std::string settings = path + ".cfg";
  std::ofstream(settings) << keys;

  VirtualClock clock(fake);
  serial::CaptureRecorder recorder(&clock);
  if (!recorder.Start(path, "COM1", 0, error)) return false;
  serial::CapturePlatform capture(fake, recorder);
  bool ok = false;
  {
    TVktComPort port(nullptr, &capture);
    if (port.OpenLink(settings.c_str()) != kOk) {
      error = "the link did not open";
    } else {
      ok = Run(name, fake, port, stations, settings, error);
    }
    port.CloseLink();
  }
  recorder.Stop();
  std::remove(settings.c_str());
  return ok;
}

}  // namespace vkt::test
