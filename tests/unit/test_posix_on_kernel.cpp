// The POSIX backend on the scripted kernel: what a real UART or USB adapter does and a
// pseudo-terminal cannot show (wire time, the transmit FIFO, error counters, the board's RS-485
// state, a device that goes away), seen through the layers the driver's users meet.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "protocol/frame.h"
#include "response_frame.h"
#include "protocol/vkt_link_layer.h"
#include "scripted_kernel.h"
#include "serial/asc_drv.h"

namespace vkt {
namespace {

using test::LineFault;
using test::ScriptedDevice;
using test::ScriptedKernel;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kDevice = "/dev/ttyUSB0";

Bytes Response(int station, int status, const Bytes& data) {
  return test::ResponseFrame(station, status, data);
}

// COM1 is the scripted device for the duration of a test.
class OnKernel : public testing::Test {
 protected:
  OnKernel() { setenv("VKTJX_COM1", kDevice, 1); }
  ~OnKernel() override {
    link.reset();
    drv.reset();
    unsetenv("VKTJX_COM1");
  }

  std::shared_ptr<ScriptedDevice> Device(ScriptedDevice model = ScriptedDevice{}) {
    dev = kernel.AddDevice(kDevice, std::move(model));
    return dev;
  }

  // A link layer on COM1 with the settings S. The station answers each complete request
  // (`requestBytes` long, fill bytes included) 5 ms after its last byte left the wire.
  void OpenLink(std::size_t requestBytes, Bytes answer) {
    link = std::make_unique<TVktLinkLayer>(nullptr, os.get());
    link->ApplySettings(S);
    link->SetActive(true);
    ASSERT_TRUE(link->Active());
    Answer(requestBytes, std::move(answer));
  }
  void Answer(std::size_t requestBytes, Bytes answer, LineFault fault = LineFault::None,
              std::size_t faultAt = 0) {
    ScriptedDevice* d = dev.get();
    d->wire.clear();
    d->onSent = [this, d, requestBytes, answer, fault, faultAt] {
      if (d->wire.size() < requestBytes) return;
      d->wire.clear();
      Bytes head(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(faultAt));
      Bytes tail(answer.begin() + static_cast<std::ptrdiff_t>(faultAt), answer.end());
      if (!head.empty()) kernel.Send(*d, head, 5000);
      kernel.Send(*d, tail, head.empty() ? 5000 : 0, fault);
    };
  }

  ScriptedKernel kernel;
  std::unique_ptr<serial::CommPlatform> os = kernel.MakePlatform();
  std::shared_ptr<ScriptedDevice> dev;
  TDriverSettings S = DefaultSettings();
  std::unique_ptr<TVktLinkLayer> link;
  std::unique_ptr<TAscDrv> drv;
  std::uint8_t response[256] = {};
  std::int32_t length = 0;
};

// ---- Write completion -------------------------------------------------------------------------

// A full write chunk takes about 535 ms at 4800 bit/s, longer than the 500 ms response
// time-out: the time-out must start when the request has left the port.
TEST_F(OnKernel, FullSizeBlockWriteAt4800BitPerSecondIsAnswered) {
  Device();
  S.pcpsBaud = 4800;
  S.pcpsVktRespTmo = 500;
  const std::uint8_t data[251] = {0x00, 0x01, 124};
  OpenLink(kMaxFrameBytes, Response(1, 0, {}));
  length = 251;
  EXPECT_EQ(link->Request(1, kCmdWriteWords, sizeof response, response, length, data), kOk);
  EXPECT_EQ(dev->wire.size(), 0u) << "the whole request went out once";
}

TEST_F(OnKernel, WriteTimeOutReportsTheBytesThatLeft) {
  Device();
  drv = std::make_unique<TAscDrv>(nullptr, os.get());
  drv->SetBaudRate(9600);
  drv->OpenPort();
  ASSERT_TRUE(drv->Active());
  kernel.Hold(*dev, true);  // CTS held: nothing leaves
  const Bytes frame(40, 0x55);
  std::int32_t count = 40;
  EXPECT_EQ(drv->WriteBytes(frame.data(), count), kWriteIncomplete);
  EXPECT_LT(count, 40);
  kernel.Hold(*dev, false);
  kernel.AdvanceUs(1000000);
  EXPECT_LE(dev->wire.size(), static_cast<std::size_t>(count))
      << "what the write did not report as sent must not go out later";
}

// ---- RS-485 ---------------------------------------------------------------------------------

struct Rs485Case {
  const char* name;
  bool settingsAsk;        // pcpsRS485Suport
  std::uint32_t foundFlags;
  std::uint32_t flagsWhileOpen;
  bool written;            // TIOCSRS485 used while open
};

class Rs485State : public OnKernel, public testing::WithParamInterface<Rs485Case> {};

TEST_P(Rs485State, IsChangedOnlyAsNeededAndPutBackAtClose) {
  const Rs485Case& c = GetParam();
  ScriptedDevice board;
  board.rs485 = true;
  board.rs485State.flags = c.foundFlags;
  board.rs485State.delay_rts_before_send = 3;
  board.rs485State.delay_rts_after_send = 7;
  Device(board);
  drv = std::make_unique<TAscDrv>(nullptr, os.get());
  drv->SetRs485Mode(c.settingsAsk);
  drv->OpenPort();
  ASSERT_TRUE(drv->Active());
  EXPECT_EQ(dev->rs485State.flags, c.flagsWhileOpen);
  EXPECT_EQ(dev->rs485State.delay_rts_before_send, 3u) << "the board's delays stay";
  EXPECT_EQ(dev->rs485State.delay_rts_after_send, 7u);
  EXPECT_EQ(dev->rs485Writes > 0, c.written);
  drv->ClosePort();
  EXPECT_EQ(dev->rs485State.flags, c.foundFlags) << "the close leaves the board as found";
}

INSTANTIATE_TEST_SUITE_P(
    Board, Rs485State,
    testing::Values(
        Rs485Case{"OnAtBootWithoutRs485Settings", false,
                  SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND,
                  SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, false},
        Rs485Case{"OffAtBootWithoutRs485Settings", false, 0, 0, false},
        Rs485Case{"OffAtBootWithRs485Settings", true, 0,
                  SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, true},
        Rs485Case{"InvertedPolarityIsKept", true, SER_RS485_RTS_AFTER_SEND,
                  SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, true},
        Rs485Case{"AlreadyOnIsNotWritten", true, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND,
                  SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, false}),
    [](const testing::TestParamInfo<Rs485Case>& i) { return i.param.name; });

// Without a kernel RS-485 mode (USB adapters answer ENOTTY) the write keys RTS itself, and
// drops it only once the last stop bit has left, FIFO included, whether or not the device can
// report its transmitter.
TEST_F(OnKernel, SoftwareKeyingHoldsRtsUntilTheLastByteHasLeft) {
  for (const bool lineStatus : {true, false}) {
    SCOPED_TRACE(lineStatus ? "with the line-status query" : "without it");
    ScriptedDevice adapter;
    adapter.rs485 = false;
    adapter.lineStatus = lineStatus;
    Device(adapter);
    drv = std::make_unique<TAscDrv>(nullptr, os.get());
    drv->SetBaudRate(2400);
    drv->SetRs485Mode(true);
    drv->OpenPort();
    ASSERT_TRUE(drv->Active());
    dev->rtsLog.clear();
    const Bytes frame(30, 0xA5);
    std::int32_t count = 30;
    ASSERT_EQ(drv->WriteBytes(frame.data(), count), kOk);
    std::uint32_t mask = serial::EV_TXEMPTY;
    drv->WaitLineEvent(mask);
    EXPECT_EQ(mask, serial::EV_TXEMPTY);
    ASSERT_EQ(dev->wire.size(), 30u);
    ASSERT_EQ(dev->rtsLog.size(), 2u);
    EXPECT_TRUE(dev->rtsLog[0].second);
    EXPECT_FALSE(dev->rtsLog[1].second);
    EXPECT_GE(dev->rtsLog[1].first, dev->lastOutUs) << "RTS dropped under the last byte";
    drv.reset();
  }
}

// ---- Line errors ------------------------------------------------------------------------------

// A damaged byte in a response: Windows fails the read (abort on error) and the transaction
// ends with the read failure, not with a retried checksum mismatch.
TEST_F(OnKernel, LineErrorInAResponseFailsTheReadAsOnWindows) {
  for (const LineFault fault : {LineFault::Framing, LineFault::Parity, LineFault::Overrun}) {
    Device();
    S.pcpsVktComRetry = 3;
    Bytes damaged = Response(1, 0, {0x34, 0x12, 0xCD, 0xAB});
    damaged[5] ^= 0x40;
    OpenLink(9, damaged);
    Answer(9, damaged, fault, 5);
    const std::uint8_t request[3] = {0x10, 0x00, 0x02};
    length = 3;
    EXPECT_EQ(link->Request(1, kCmdReadWords, sizeof response, response, length, request),
              kReadFailed);
    // The stop is lifted by the failed read's purge: the next request goes through.
    Answer(9, Response(1, 0, {0x34, 0x12, 0xCD, 0xAB}));
    length = 3;
    EXPECT_EQ(link->Request(1, kCmdReadWords, sizeof response, response, length, request), kOk);
    link.reset();
  }
}

// ---- Line state the device did not take -----------------------------------------------------

TEST_F(OnKernel, LineStateTheDeviceDidNotTakeLeavesThePortInactive) {
  struct Case {
    const char* name;
    ScriptedDevice model;
    std::int32_t baud;
    std::int32_t parity;
    bool taken;
  };
  ScriptedDevice noMarkSpace;
  noMarkSpace.keepsCmspar = false;
  ScriptedDevice fewSpeeds;
  fewSpeeds.speeds = {9600, 19200, 38400};
  const Case cases[] = {
      {"mark parity dropped", noMarkSpace, 9600, 3, false},
      {"space parity dropped", noMarkSpace, 9600, 4, false},
      {"speed rounded", fewSpeeds, 31250, 0, false},
      {"even parity on the same device", noMarkSpace, 9600, 2, true},
      {"a speed it has", fewSpeeds, 19200, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Device(c.model);
    drv = std::make_unique<TAscDrv>(nullptr, os.get());
    drv->SetBaudRate(c.baud);
    drv->SetParity(c.parity);
    drv->OpenPort();
    EXPECT_EQ(drv->Active(), c.taken);
    drv.reset();
  }
}

// ---- A device that goes away ----------------------------------------------------------------

TEST_F(OnKernel, AGoneDeviceFailsReadsAndWritesAtOnce) {
  Device();
  drv = std::make_unique<TAscDrv>(nullptr, os.get());
  drv->OpenPort();
  ASSERT_TRUE(drv->Active());
  kernel.Unplug(kDevice);
  drv->SetTimeouts(500, -1);
  const std::int64_t before = kernel.NowUs();
  std::uint8_t byte = 0;
  std::int32_t one = 1;
  EXPECT_EQ(drv->ReadBytes(&byte, one), kReadFailed);
  EXPECT_LT(kernel.NowUs() - before, 500000) << "a gone device is no silent line";
  one = 1;
  EXPECT_EQ(drv->WriteBytes("x", one), kWriteFailed);
}

// Once the reset could not reopen the port, requests try again at most once a second and
// answer 16010 in between; a device back under the same name is used without a restart.
TEST_F(OnKernel, AnAdapterPluggedBackInIsUsedAgain) {
  Device();
  S.pcpsFailFramesToReset = 2;
  const Bytes words = Response(1, 0, {0x34, 0x12, 0xCD, 0xAB});
  OpenLink(9, words);
  const std::uint8_t request[3] = {0x10, 0x00, 0x02};
  const auto ask = [&] {
    length = 3;
    return link->Request(1, kCmdReadWords, sizeof response, response, length, request);
  };
  ASSERT_EQ(ask(), kOk);

  kernel.Unplug(kDevice);
  EXPECT_EQ(ask(), kWriteFailed);
  EXPECT_EQ(ask(), kWriteFailed);
  EXPECT_EQ(ask(), kPortNotOpen) << "the reset found no device";
  EXPECT_TRUE(link->ReopenPending());
  const int opens = kernel.CallCount("open");
  EXPECT_EQ(ask(), kPortNotOpen);
  EXPECT_EQ(kernel.CallCount("open"), opens) << "no second try within the second";

  kernel.AdvanceUs(1000000);
  EXPECT_EQ(ask(), kPortNotOpen);
  EXPECT_EQ(kernel.CallCount("open"), opens + 1) << "one try once the second has passed";

  Device();
  Answer(9, words);
  EXPECT_EQ(ask(), kPortNotOpen) << "still within the second of the last try";
  kernel.AdvanceUs(1000000);
  EXPECT_EQ(ask(), kOk);
  EXPECT_FALSE(link->ReopenPending());
}

}  // namespace
}  // namespace vkt
