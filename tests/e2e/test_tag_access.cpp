// Tag reads and writes through the exports against simulated stations: block limits, data
// kinds, bit conversions, element addresses, and what a failure leaves behind.
#include <cmath>
#include <cstring>

#include "e2e_support.h"

namespace e2e {
namespace {

using Export = int16_t (*)(const HostTag*, HVALUE);

std::size_t Requests(const std::string& trace) {
  std::size_t n = 0;
  for (const std::string& line : Lines(trace))
    if (line.find("<-") != std::string::npos) ++n;
  return n;
}

struct Refused {
  const char* name;
  Export call;
  HostTag tag;
  std::int32_t code;
  int reg;  // the operation's register: 2 read, 3 write
};

// Everything here is refused before a frame is built: the line stays silent, the host value
// keeps what it held, and the code lands in the operation's register and in register 0.
const Refused kRefused[] = {
    {"1001 bits", drvReadBlock, Tag(1, 0, 0, 1001), kTooMuchData, 2},
    {"501 words", drvReadBlock, Tag(1, 1, 0, 501), kTooMuchData, 2},
    {"251 floats", drvReadBlock, Tag(1, 2, 0, 251), kTooMuchData, 2},
    {"block of kind 5", drvReadBlock, Tag(1, 5, 0, 1), kBadDataKind, 2},
    {"block of kind 3", drvReadBlock, Tag(1, 3, 0, 1), kBadDataKind, 2},
    {"value of kind 3", drvReadValue, Tag(1, 3, 0), kUnhandledKind, 2},
    {"element of kind 4", drvReadBlockElement, Tag(1, 4, 0), kUnhandledKind, 2},
    {"value of station 0", drvReadValue, Tag(0, 1, 0), kBadStation, 2},
    {"value of station -1", drvReadValue, Tag(-1, 1, 0), kBadStation, 2},
    {"block of station 256", drvReadBlock, Tag(256, 1, 0, 4), kBadStation, 2},
    {"write value of kind 5", drvWriteValue, Tag(1, 5, 0), kBadDataKind, 3},
    {"write element of kind 5", drvWriteBlockElement, Tag(1, 5, 0), kBadDataKind, 3},
    {"write block of kind 3", drvWriteBlock, Tag(1, 3, 0, 0, 0, 2), kBadDataKind, 3},
    {"write 1001 bits", drvWriteBlock, Tag(1, 0, 0, 0, 0, 1001), kTooMuchData, 3},
    {"write 501 words", drvWriteBlock, Tag(1, 1, 0, 0, 0, 501), kTooMuchData, 3},
    {"write 251 floats", drvWriteBlock, Tag(1, 2, 0, 0, 0, 251), kTooMuchData, 3},
    {"write 65535 words", drvWriteBlock, Tag(1, 1, 0, 0, 0, 65535), kTooMuchData, 3},
    {"write value to station 300", drvWriteValue, Tag(300, 1, 0), kBadStation, 3},
};

TEST_F(Line, RefusedRequestsSendNothingAndKeepTheirCode) {
  Begin({});
  for (const Refused& c : kRefused) {
    SCOPED_TRACE(c.name);
    HostValue v;
    hvDim(v.h(), 131, 3);
    hvSetAtI16(v.h(), 1, 77);
    EXPECT_EQ(c.call(&c.tag, v.h()), -1);
    const std::vector<std::int32_t> regs = Registers();
    EXPECT_EQ(regs[c.reg], c.code);
    EXPECT_EQ(regs[0], c.code);
    std::int16_t kept = 0;
    EXPECT_EQ(hvType(v.h()), 131);
    EXPECT_EQ(hvCount(v.h()), 3);
    EXPECT_TRUE(hvGetAtI16(v.h(), 1, &kept) && kept == 77);
  }
  EXPECT_EQ(Requests(sim.Trace()), 0u);
}

struct Limit {
  std::uint16_t kind, count, type;
};

TEST_F(Line, BlocksAtTheLimitReachTheStation) {
  Begin({"--pattern"});  // bit a = a & 1, word a = a, float a = a + 0.5
  for (const Limit& c : {Limit{0, 1000, 130}, Limit{1, 500, 131}, Limit{2, 250, 135}}) {
    SCOPED_TRACE(c.kind);
    HostValue v;
    const HostTag t = Tag(3, c.kind, 100, c.count);
    ASSERT_EQ(drvReadBlock(&t, v.h()), 1);
    EXPECT_EQ(hvType(v.h()), c.type);
    ASSERT_EQ(hvCount(v.h()), c.count);
    std::uint8_t b = 9;
    std::int16_t w = 0;
    float f = 0;
    const std::uint16_t last = c.count - 1;
    if (c.kind == 0) {
      EXPECT_TRUE(hvGetAtU8(v.h(), last, &b) && b == ((100 + last) & 1));
    } else if (c.kind == 1) {
      EXPECT_TRUE(hvGetAtI16(v.h(), last, &w) && w == 100 + last);
    } else {
      EXPECT_TRUE(hvGetAtR32(v.h(), last, &f) && f == 100 + last + 0.5f);
    }
    EXPECT_EQ(Registers(), (std::vector<std::int32_t>{0, 0, 0, 0}));
  }
}

TEST_F(Line, BlockReadOfNoElementsMakesAnEmptyArray) {
  Begin({});
  HostValue v;
  hvSetI32(v.h(), 5);
  const HostTag t = Tag(1, 1, 0, 0);
  EXPECT_EQ(drvReadBlock(&t, v.h()), 1);
  EXPECT_EQ(hvType(v.h()), 131);
  EXPECT_EQ(hvCount(v.h()), 0);
  EXPECT_EQ(Requests(sim.Trace()), 0u);
}

TEST_F(Line, ASuccessfulBlockReadRedimensionsWhateverTheValueHeld) {
  Begin({"--pattern"});
  HostValue v;
  hvDim(v.h(), 135, 7);
  const HostTag t = Tag(1, 1, 40, 2);
  ASSERT_EQ(drvReadBlock(&t, v.h()), 1);
  EXPECT_EQ(hvType(v.h()), 131);
  EXPECT_EQ(hvCount(v.h()), 2);
  std::int16_t w = 0;
  EXPECT_TRUE(hvGetAtI16(v.h(), 1, &w) && w == 41);
}

// Any non-zero byte of a station's bit reads as 1; any non-zero host bit is sent as 0xFF.
TEST_F(Line, BitsConvertBothWays) {
  dir.Write("init", "1 bit 10 0x37 0 1 0x80\n");
  Begin({"--init-file", dir.File("init")});

  struct { std::uint16_t address; std::uint8_t host; } reads[] = {{10, 1}, {11, 0}, {12, 1}, {13, 1}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.address);
    HostValue v;
    const HostTag t = Tag(1, 0, r.address);
    ASSERT_EQ(drvReadValue(&t, v.h()), 1);
    std::uint8_t b = 9;
    EXPECT_EQ(hvType(v.h()), 2);
    EXPECT_TRUE(hvGetU8(v.h(), &b) && b == r.host);
  }
  HostValue block;
  const HostTag all = Tag(1, 0, 10, 4);
  ASSERT_EQ(drvReadBlock(&all, block.h()), 1);
  for (const auto& r : reads) {
    std::uint8_t b = 9;
    EXPECT_TRUE(hvGetAtU8(block.h(), r.address - 10, &b) && b == r.host) << r.address;
  }

  HostValue two;
  hvSetU8(two.h(), 2);
  const HostTag one = Tag(1, 0, 20);
  EXPECT_EQ(drvWriteValue(&one, two.h()), 1);
  HostValue zero;
  hvSetI32(zero.h(), 0);
  const HostTag other = Tag(1, 0, 21);
  EXPECT_EQ(drvWriteBlockElement(&other, zero.h()), 1);
  HostValue bits;
  hvDim(bits.h(), 130, 4);
  const std::uint8_t given[4] = {0, 2, 255, 1};
  for (std::uint16_t i = 0; i < 4; ++i) hvSetAtU8(bits.h(), i, given[i]);
  const HostTag run = Tag(1, 0, 30, 0, 0, 4);
  EXPECT_EQ(drvWriteBlock(&run, bits.h()), 1);

  const std::string memory = sim.Memory();
  for (const char* line : {"1 bit 20 255", "1 bit 21 0", "1 bit 30 0", "1 bit 31 255",
                           "1 bit 32 255", "1 bit 33 255"})
    EXPECT_NE(memory.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << memory;
}

// A bit is set by any non-zero host value in the value's own type, not by its U8 conversion
// (I16 256, I32 65536 and R32 0.5 all convert to 0): single values and arrays alike.
TEST_F(Line, ABitIsSetByAnyNonZeroValueInItsOwnType) {
  dir.Write("init", "1 bit 40 1 0 1 0 1 0 1 0 1 0 1 0\n");
  Begin({"--init-file", dir.File("init")});
  struct Single {
    std::uint16_t address;
    void (*fill)(HVALUE);
    int stored;
  } singles[] = {
      {40, [](HVALUE h) { hvSetI16(h, 256); }, 255},  {41, [](HVALUE h) { hvSetI32(h, 65536); }, 255},
      {42, [](HVALUE h) { hvSetR32(h, 0.5f); }, 255}, {43, [](HVALUE h) { hvSetR32(h, -0.25f); }, 255},
      {44, [](HVALUE h) { hvSetI32(h, 0); }, 0},      {45, [](HVALUE h) { hvSetR32(h, NAN); }, 0},
  };
  for (const Single& c : singles) {
    SCOPED_TRACE(c.address);
    HostValue v;
    c.fill(v.h());
    const HostTag t = Tag(1, 0, c.address);
    EXPECT_EQ(drvWriteValue(&t, v.h()), 1);
  }
  HostValue words;
  hvDim(words.h(), 131, 3);
  const std::int16_t w[3] = {256, 0, -32768};
  for (std::uint16_t i = 0; i < 3; ++i) hvSetAtI16(words.h(), i, w[i]);
  const HostTag wordRun = Tag(1, 0, 46, 0, 0, 3);
  EXPECT_EQ(drvWriteBlock(&wordRun, words.h()), 1);
  HostValue floats;
  hvDim(floats.h(), 135, 3);
  const float f[3] = {0.5f, -0.0f, 1e-30f};
  for (std::uint16_t i = 0; i < 3; ++i) hvSetAtR32(floats.h(), i, f[i]);
  const HostTag floatRun = Tag(1, 0, 49, 0, 0, 3);
  EXPECT_EQ(drvWriteBlock(&floatRun, floats.h()), 1);

  const std::string memory = sim.Memory();
  std::vector<std::string> expected;
  for (const Single& c : singles)
    expected.push_back("1 bit " + std::to_string(c.address) + " " + std::to_string(c.stored));
  for (const char* line : {"1 bit 46 255", "1 bit 47 0", "1 bit 48 255", "1 bit 49 255",
                           "1 bit 50 0", "1 bit 51 255"})
    expected.push_back(line);
  for (const std::string& line : expected)
    EXPECT_NE(memory.find(line + "\n"), std::string::npos) << line << "\n" << memory;
}

TEST_F(Line, WordsAndFloatsRoundTrip) {
  Begin({});
  HostValue words;
  hvDim(words.h(), 131, 3);
  const std::int16_t w[3] = {-32768, -1, 32767};
  for (std::uint16_t i = 0; i < 3; ++i) hvSetAtI16(words.h(), i, w[i]);
  const HostTag wt = Tag(4, 1, 7, 3, 0, 3);
  ASSERT_EQ(drvWriteBlock(&wt, words.h()), 1);

  HostValue floats;
  hvDim(floats.h(), 135, 3);
  const float f[3] = {-1.25f, 3.0e38f, INFINITY};
  for (std::uint16_t i = 0; i < 3; ++i) hvSetAtR32(floats.h(), i, f[i]);
  const HostTag ft = Tag(4, 2, 60000, 3, 0, 3);
  ASSERT_EQ(drvWriteBlock(&ft, floats.h()), 1);

  HostValue wb, fb;
  ASSERT_EQ(drvReadBlock(&wt, wb.h()), 1);
  ASSERT_EQ(drvReadBlock(&ft, fb.h()), 1);
  for (std::uint16_t i = 0; i < 3; ++i) {
    std::int16_t gw = 0;
    float gf = 0;
    EXPECT_TRUE(hvGetAtI16(wb.h(), i, &gw) && gw == w[i]) << i;
    EXPECT_TRUE(hvGetAtR32(fb.h(), i, &gf) && gf == f[i]) << i;
  }
  HostValue one;
  const HostTag middle = Tag(4, 2, 60000, 0, 1);
  ASSERT_EQ(drvReadBlockElement(&middle, one.h()), 1);
  float g = 0;
  EXPECT_EQ(hvType(one.h()), 7);
  EXPECT_TRUE(hvGetR32(one.h(), &g) && g == 3.0e38f);
}

// Scalar writes take the host value through the getter of the tag's kind, converting from
// whatever the host holds; a value the library cannot give is sent as 0.
TEST_F(Line, SingleWritesConvertOrSendZero) {
  Begin({});
  struct Case {
    const char* name;
    std::uint16_t kind, address;
    void (*fill)(HVALUE);
    const char* stored;
  } cases[] = {
      {"I32 as word", 1, 1, [](HVALUE h) { hvSetI32(h, 70000); }, "1 word 1 4464"},
      {"float as word", 1, 2, [](HVALUE h) { hvSetR32(h, -7.9f); }, "1 word 2 -7"},
      {"word as float", 2, 3, [](HVALUE h) { hvSetI16(h, -3); }, "1 float 3 -3"},
      {"array as word", 1, 4, [](HVALUE h) { hvDim(h, 131, 2); }, "1 word 4 0"},
      {"empty as float", 2, 5, [](HVALUE) {}, "1 float 5 0"},
      {"empty as bit", 0, 6, [](HVALUE) {}, "1 bit 6 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostValue v;
    c.fill(v.h());
    const HostTag t = Tag(1, c.kind, c.address);
    EXPECT_EQ(drvWriteValue(&t, v.h()), 1);
  }
  const std::string memory = sim.Memory();
  for (const Case& c : cases)
    EXPECT_NE(memory.find(std::string(c.stored) + "\n"), std::string::npos) << c.name << "\n"
                                                                            << memory;
}

TEST_F(Line, ElementCallsAddTheOffsetInFullWidth) {
  Begin({"--pattern"});  // word a = a
  struct Case {
    std::uint16_t address, offset;
    std::int16_t expected;
  } cases[] = {{100, 5, 105}, {0, 0, 0}, {65535, 0, -1}, {65535, 2, 1}, {65000, 1000, 464}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << "+" << c.offset);
    HostValue v;
    const HostTag t = Tag(2, 1, c.address, 1, c.offset);
    ASSERT_EQ(drvReadBlockElement(&t, v.h()), 1);
    std::int16_t w = 0;
    EXPECT_TRUE(hvGetI16(v.h(), &w) && w == c.expected);
  }
  // drvReadValue and drvWriteValue ignore the offset; drvWriteBlockElement adds it.
  HostValue v;
  const HostTag plain = Tag(2, 1, 100, 1, 5);
  ASSERT_EQ(drvReadValue(&plain, v.h()), 1);
  std::int16_t w = 0;
  EXPECT_TRUE(hvGetI16(v.h(), &w) && w == 100);
  hvSetI16(v.h(), 4242);
  const HostTag element = Tag(2, 1, 200, 1, 7);
  ASSERT_EQ(drvWriteBlockElement(&element, v.h()), 1);
  ASSERT_EQ(drvWriteValue(&element, v.h()), 1);
  const std::string memory = sim.Memory();
  EXPECT_NE(memory.find("2 word 207 4242\n"), std::string::npos) << memory;
  EXPECT_NE(memory.find("2 word 200 4242\n"), std::string::npos) << memory;
}

TEST_F(Line, AFailedReadLeavesTheHostValueAsItWas) {
  Begin({"--stations", "1"});
  for (Export call : {drvReadValue, drvReadBlockElement, drvReadBlock}) {
    HostValue v;
    hvSetR32(v.h(), 2.5f);
    const HostTag t = Tag(9, 2, 0, 2);  // station 9 does not answer
    EXPECT_EQ(call(&t, v.h()), -1);
    float f = 0;
    EXPECT_EQ(hvType(v.h()), 7);
    EXPECT_TRUE(hvGetR32(v.h(), &f) && f == 2.5f);
    EXPECT_EQ(Registers()[2], kNoAnswer);
  }
}

TEST_F(Line, RegistersFollowReadsAndWrites) {
  Begin({"--stations", "1"});
  HostValue v;
  const HostTag silent = Tag(9, 1, 0);
  const HostTag good = Tag(1, 1, 0);
  const HostTag badKind = Tag(1, 5, 0);

  EXPECT_EQ(drvReadValue(&silent, v.h()), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoAnswer, 0, kNoAnswer, 0}));
  // Reading the registers twice, by value and by element, neither clears nor moves them.
  for (std::uint16_t offset : {0, 1}) {
    HostValue r;
    const HostTag reg = Tag(0, 5, static_cast<std::uint16_t>(2 - offset), 1, offset);
    std::int32_t code = 0;
    ASSERT_EQ((offset ? drvReadBlockElement : drvReadValue)(&reg, r.h()), 1);
    EXPECT_TRUE(hvGetI32(r.h(), &code) && code == kNoAnswer);
  }
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoAnswer, 0, kNoAnswer, 0}));

  hvSetI16(v.h(), 1);
  EXPECT_EQ(drvWriteValue(&good, v.h()), 1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{0, 0, kNoAnswer, 0}));
  EXPECT_EQ(drvWriteValue(&badKind, v.h()), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kBadDataKind, 0, kNoAnswer, kBadDataKind}));
  EXPECT_EQ(drvReadValue(&good, v.h()), 1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{0, 0, 0, kBadDataKind}));
  // A block read of kind 5 is an ordinary failed read.
  const HostTag regBlock = Tag(0, 5, 0, 1);
  EXPECT_EQ(drvReadBlock(&regBlock, v.h()), -1);
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kBadDataKind, 0, kBadDataKind, kBadDataKind}));
}

TEST_F(Line, ARegisterIndexPastTheLastFailsAndChangesNothing) {
  Begin({"--stations", "1"});
  HostValue v;
  const HostTag silent = Tag(9, 1, 0);
  EXPECT_EQ(drvReadValue(&silent, v.h()), -1);
  // The index is address + offset in full width: 65535 + 2 is no register, not register 1.
  for (const HostTag& t :
       {Tag(0, 5, 4), Tag(0, 5, 65535), Tag(0, 5, 3, 1, 1), Tag(0, 5, 65535, 1, 2)}) {
    HostValue r;
    hvSetI16(r.h(), 11);
    EXPECT_EQ(t.offset ? drvReadBlockElement(&t, r.h()) : drvReadValue(&t, r.h()), -1);
    std::int16_t kept = 0;
    EXPECT_TRUE(hvGetI16(r.h(), &kept) && kept == 11);
  }
  EXPECT_EQ(Registers(), (std::vector<std::int32_t>{kNoAnswer, 0, kNoAnswer, 0}));
}

}  // namespace
}  // namespace e2e
