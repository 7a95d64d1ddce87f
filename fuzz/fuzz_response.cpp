// The response reader under arbitrary line bytes: one typed read or write of the driver object
// against a remote end that answers each request frame with whatever the input says, on the
// fake line with its virtual clock (so every time-out costs no real time).
//
// Input: op, station, address (2), count (2), attempts, then the line segments of fuzz_line.h.
// op bits 0-1 data kind, bit 2 write, bits 3-4 line (direct, RS-485, radio), bit 5 the 95/98
// platform family, bit 6 stale bytes already on the line before the first request.
//
// Checked besides memory and undefined behaviour: every frame the driver writes is a well-formed
// request (start byte, station, length, checksum, fill bytes only after it) whose values are the
// caller's; a successful read hands back only data that a valid status-0 response on the line
// carried, chunk by chunk; a failed request never reports success.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "fake_platform.h"
#include "fuzz_line.h"
#include "protocol/frame.h"
#include "protocol/vkt_com_port.h"

namespace {

using vkt::test::Bytes;

constexpr int kElementSize[3] = {1, 2, 4};
constexpr int kMaxCount = 700;  // a few chunks of every kind

// The settings file of the link: COM1, defaults otherwise; the input varies the rest.
const std::string& SettingsFile() {
  static const std::string path = [] {
    const std::string p = "/tmp/vkt-fuzz-response-" + std::to_string(::getpid()) + ".cfg";
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (f == nullptr) vkt::fuzz::Broken("cannot write the settings file");
    std::fputs("[PC_PORT_SESSION]\npcpsPort=1\n", f);
    std::fclose(f);
    return p;
  }();
  // Registered once the path exists, so it runs before the path is destroyed.
  static const bool removedAtExit = std::atexit([] { std::remove(SettingsFile().c_str()); }) == 0;
  (void)removedAtExit;
  return path;
}

// True when `data` (n bytes) is the data field of a status-0 response with a good checksum
// somewhere in `line`.
bool CarriedByValidFrame(const Bytes& line, const std::uint8_t* data, int n) {
  for (std::size_t i = 0; i + static_cast<std::size_t>(n) + 6 <= line.size(); ++i) {
    if (line[i] != vkt::kStartByte || line[i + 2] != n || line[i + 3] != 0) continue;
    if (std::memcmp(&line[i + 4], data, static_cast<std::size_t>(n)) != 0) continue;
    const std::uint16_t sum = vkt::FrameChecksum(&line[i + 1], static_cast<std::size_t>(n) + 3);
    const std::size_t c = i + 4 + static_cast<std::size_t>(n);
    if (line[c] == (sum & 0xFF) && line[c + 1] == (sum >> 8)) return true;
  }
  return false;
}

// Checks one request frame as written, and for writes that its values are the caller's.
void CheckRequest(const Bytes& w, int station, bool write, int kind, std::uint16_t start,
                  const std::vector<std::uint8_t>& values) {
  FUZZ_CHECK(w.size() >= 6 && w[0] == vkt::kStartByte && w[1] == station);
  const std::size_t n = w[2];
  FUZZ_CHECK(w.size() >= n + 6);
  const std::uint16_t sum = vkt::FrameChecksum(&w[1], n + 3);
  FUZZ_CHECK(w[n + 4] == (sum & 0xFF) && w[n + 5] == (sum >> 8));
  for (std::size_t i = n + 6; i < w.size(); ++i) FUZZ_CHECK(w[i] == 0xFF);
  FUZZ_CHECK(n >= 3);
  const std::uint16_t address = static_cast<std::uint16_t>(w[4] | (w[5] << 8));
  const std::size_t elements = w[6];
  const std::size_t offset = static_cast<std::uint16_t>(address - start);
  FUZZ_CHECK(elements > 0 && offset + elements <= values.size() / kElementSize[kind]);
  if (write) {
    const std::size_t bytes = elements * static_cast<std::size_t>(kElementSize[kind]);
    FUZZ_CHECK(n == bytes + 3);
    FUZZ_CHECK(std::memcmp(&w[7], &values[offset * kElementSize[kind]], bytes) == 0);
  } else {
    FUZZ_CHECK(n == 3);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vkt::fuzz::InputReader in(data, size);
  const std::uint8_t op = in.Byte();
  const int kind = (op & 3) % 3;
  const bool write = (op & 0x04) != 0;
  const int line = (op >> 3) & 3;
  const int station = in.Byte();
  const std::uint16_t address = in.Word();
  const int count = in.Word() % (kMaxCount + 1);
  const int attempts = 1 + in.Byte() % 4;

  vkt::test::FakePlatform fake;
  fake.SetRecordTicks(false);
  fake.SetPlatformId((op & 0x20) ? 1 : 2);
  fake.SetCtsFollowsRts(0);

  vkt::TVktComPort port(nullptr, &fake);
  if (port.OpenLink(SettingsFile().c_str()) != vkt::kOk) vkt::fuzz::Broken("link did not open");
  vkt::TDriverSettings s = port.Settings;
  s.pcpsVktComRetry = attempts;
  s.pcpsRS485Suport = line == 1;
  s.pcpsDataRadioSuport = line == 2;
  s.pcpsRadioRemCarrierOffTime = 0;
  s.pcpsFailFramesToReset = 5;
  port.ApplySettings(s);

  vkt::fuzz::AnswerWritesFrom(in, fake);
  if (op & 0x40) vkt::fuzz::ScheduleSegment(in, fake, vkt::test::From::Now);

  std::vector<std::uint8_t> values(static_cast<std::size_t>(count) * kElementSize[kind]);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const std::vector<std::uint8_t> original = values;
  // Heap copy of exactly the caller's size, so a write past its end is caught.
  std::uint8_t* buffer = new std::uint8_t[values.size() + 1];
  if (!values.empty()) std::memcpy(buffer, values.data(), values.size());

  vkt::ResultCode rc = vkt::kOk;
  switch (kind + (write ? 3 : 0)) {
    case 0: rc = port.ReadBits(station, address, 0, buffer, count); break;
    case 1: rc = port.ReadWords(station, address, 0, buffer, count); break;
    case 2: rc = port.ReadFloats(station, address, 0, buffer, count); break;
    case 3: rc = port.WriteBits(station, address, 0, buffer, count); break;
    case 4: rc = port.WriteWords(station, address, 0, buffer, count); break;
    default: rc = port.WriteFloats(station, address, 0, buffer, count); break;
  }

  vkt::fuzz::Trace(write ? "write" : "read", rc);
  // The bytes the driver actually read, in order: segments may overlap in time, so a response
  // can be made of bytes of several of them.
  Bytes wire;
  for (const vkt::test::Call& c : fake.Calls("ReadFile"))
    for (std::size_t i = 0; i + 1 < c.detail.size(); i += 3)
      wire.push_back(static_cast<std::uint8_t>(std::stoul(c.detail.substr(i, 2), nullptr, 16)));

  for (const Bytes& w : fake.Writes()) CheckRequest(w, station, write, kind, address, original);
  if (write) {
    FUZZ_CHECK(original.empty() || std::memcmp(buffer, original.data(), original.size()) == 0);
  } else if (rc == vkt::kOk && count > 0) {
    const int perChunk = 249 / kElementSize[kind];
    for (int done = 0; done < count; done += perChunk) {
      const int n = (count - done < perChunk ? count - done : perChunk) * kElementSize[kind];
      FUZZ_CHECK(CarriedByValidFrame(wire, buffer + done * kElementSize[kind], n));
    }
  }
  if (rc == vkt::kOk && count > 0) FUZZ_CHECK(!fake.Writes().empty());
  delete[] buffer;
  return 0;
}
