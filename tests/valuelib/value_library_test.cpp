// The value library as the driver and the host see it: through its exported C functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "et32b.h"

extern "C" int et32bFromC(void);

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();

enum class Kind { U8, I16, I32, R32 };

const char* KindName(Kind k) {
  switch (k) {
    case Kind::U8: return "U8";
    case Kind::I16: return "I16";
    case Kind::I32: return "I32";
    default: return "R32";
  }
}

uint16_t ScalarCode(Kind k) {
  switch (k) {
    case Kind::U8: return 2;
    case Kind::I16: return 3;
    case Kind::I32: return 4;
    default: return 7;
  }
}

// Holds one fresh value for a test and releases it at the end.
class Value {
 public:
  Value() : h_(hvNew()) {}
  ~Value() {
    if (h_ != 0) hvRelease(h_);
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  HVALUE h() const { return h_; }

 private:
  HVALUE h_;
};

int32_t SetScalar(HVALUE h, Kind k, double v) {
  switch (k) {
    case Kind::U8: return hvSetU8(h, static_cast<uint8_t>(v));
    case Kind::I16: return hvSetI16(h, static_cast<int16_t>(v));
    case Kind::I32: return hvSetI32(h, static_cast<int32_t>(v));
    default: return hvSetR32(h, static_cast<float>(v));
  }
}

// Reads the scalar as kind k; nullopt-like failure is reported through ok.
double GetScalar(HVALUE h, Kind k, int32_t* ok) {
  switch (k) {
    case Kind::U8: { uint8_t v = 0; *ok = hvGetU8(h, &v); return v; }
    case Kind::I16: { int16_t v = 0; *ok = hvGetI16(h, &v); return v; }
    case Kind::I32: { int32_t v = 0; *ok = hvGetI32(h, &v); return v; }
    default: { float v = 0; *ok = hvGetR32(h, &v); return v; }
  }
}

int32_t SetElement(HVALUE h, uint16_t i, Kind k, double v) {
  switch (k) {
    case Kind::U8: return hvSetAtU8(h, i, static_cast<uint8_t>(v));
    case Kind::I16: return hvSetAtI16(h, i, static_cast<int16_t>(v));
    default: return hvSetAtR32(h, i, static_cast<float>(v));
  }
}

double GetElement(HVALUE h, uint16_t i, Kind k, int32_t* ok) {
  switch (k) {
    case Kind::U8: { uint8_t v = 0; *ok = hvGetAtU8(h, i, &v); return v; }
    case Kind::I16: { int16_t v = 0; *ok = hvGetAtI16(h, i, &v); return v; }
    default: { float v = 0; *ok = hvGetAtR32(h, i, &v); return v; }
  }
}

// One conversion: a value set as `from` into a scalar (array == 0) or into element 2 of an
// array of that type code, read back as `to`.
struct Conversion {
  const char* name;
  uint16_t array;
  Kind from;
  double given;
  Kind to;
  double expected;  // NaN: the read must give NaN
};

void PrintTo(const Conversion& c, std::ostream* os) {
  *os << c.name << " (" << KindName(c.from) << " " << c.given << " -> " << KindName(c.to) << ")";
}

class ConversionTest : public ::testing::TestWithParam<Conversion> {};

TEST_P(ConversionTest, ReadsBackAsACastWithSaturatedFloats) {
  const Conversion& c = GetParam();
  Value v;
  int32_t ok = 0;
  double got = 0;
  if (c.array == 0) {
    ASSERT_EQ(1, SetScalar(v.h(), c.from, c.given));
    EXPECT_EQ(ScalarCode(c.from), hvType(v.h()));
    EXPECT_EQ(1, hvCount(v.h()));
    got = GetScalar(v.h(), c.to, &ok);
  } else {
    ASSERT_EQ(1, hvDim(v.h(), c.array, 4));
    ASSERT_EQ(1, SetElement(v.h(), 2, c.from, c.given));
    EXPECT_EQ(c.array, hvType(v.h()));
    got = GetElement(v.h(), 2, c.to, &ok);
  }
  ASSERT_EQ(1, ok);
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_EQ(c.expected, got);
  }
}

const Conversion kConversions[] = {
    // Scalars: integer to integer wraps like a C cast.
    {"U8ToI16", 0, Kind::U8, 200, Kind::I16, 200},
    {"U8ToR32", 0, Kind::U8, 255, Kind::R32, 255},
    {"I16NegativeToU8Wraps", 0, Kind::I16, -1, Kind::U8, 255},
    {"I16MinToI32", 0, Kind::I16, -32768, Kind::I32, -32768},
    {"I32ToI16Wraps", 0, Kind::I32, 70000, Kind::I16, 4464},
    {"I32NegativeToI16Wraps", 0, Kind::I32, -70000, Kind::I16, -4464},
    {"I32ToU8KeepsLowByte", 0, Kind::I32, 0x100FF, Kind::U8, 255},
    {"I32MinStaysI32Min", 0, Kind::I32, kI32Min, Kind::I32, kI32Min},
    {"I32ToR32Rounds", 0, Kind::I32, 16777217, Kind::R32, 16777216},
    // Scalars: float to integer truncates in range and saturates outside it.
    {"R32ToI16Truncates", 0, Kind::R32, 3.9, Kind::I16, 3},
    {"R32NegativeToI16Truncates", 0, Kind::R32, -3.9, Kind::I16, -3},
    {"R32NegativeToU8Saturates", 0, Kind::R32, -1.0, Kind::U8, 0},
    {"R32SmallNegativeToU8", 0, Kind::R32, -0.5, Kind::U8, 0},
    {"R32JustBelowU8Limit", 0, Kind::R32, 255.9, Kind::U8, 255},
    {"R32AboveU8Saturates", 0, Kind::R32, 256.0, Kind::U8, 255},
    {"R32AboveI16Saturates", 0, Kind::R32, 40000.0, Kind::I16, 32767},
    {"R32BelowI16Saturates", 0, Kind::R32, -40000.0, Kind::I16, -32768},
    {"R32TwoToThe31SaturatesI32", 0, Kind::R32, 2147483648.0, Kind::I32, kI32Max},
    {"R32MinusTwoToThe31IsI32Min", 0, Kind::R32, -2147483648.0, Kind::I32, kI32Min},
    {"R32HugeToI32Saturates", 0, Kind::R32, 1e10, Kind::I32, kI32Max},
    {"R32InfinityToI16Saturates", 0, Kind::R32, kInf, Kind::I16, 32767},
    {"R32MinusInfinityToI32Saturates", 0, Kind::R32, -kInf, Kind::I32, kI32Min},
    {"R32NaNToU8IsZero", 0, Kind::R32, kNaN, Kind::U8, 0},
    {"R32NaNToI16IsZero", 0, Kind::R32, kNaN, Kind::I16, 0},
    {"R32NaNToI32IsZero", 0, Kind::R32, kNaN, Kind::I32, 0},
    {"R32NaNStaysNaN", 0, Kind::R32, kNaN, Kind::R32, kNaN},
    {"R32Exact", 0, Kind::R32, 1.5, Kind::R32, 1.5},
    // Array elements: converted to the element type when stored, and from it when read.
    {"U8ArrayStoresI16AsCast", 130, Kind::I16, -1, Kind::U8, 255},
    {"U8ArraySaturatesFloat", 130, Kind::R32, 300.7, Kind::U8, 255},
    {"U8ArrayNegativeFloatIsZero", 130, Kind::R32, -5.0, Kind::U8, 0},
    {"U8ArrayNaNIsZero", 130, Kind::R32, kNaN, Kind::R32, 0},
    {"I16ArraySaturatesFloat", 131, Kind::R32, 1e6, Kind::I16, 32767},
    {"I16ArrayTruncatesFloat", 131, Kind::R32, -2.7, Kind::R32, -2},
    {"I16ArrayHoldsU8", 131, Kind::U8, 255, Kind::I16, 255},
    {"I16ArrayReadAsU8Wraps", 131, Kind::I16, -2, Kind::U8, 254},
    {"R32ArrayHoldsI16", 135, Kind::I16, -7, Kind::R32, -7},
    {"R32ArrayReadAsI16Saturates", 135, Kind::R32, 1e10, Kind::I16, 32767},
    {"R32ArrayNaNReadAsU8IsZero", 135, Kind::R32, kNaN, Kind::U8, 0},
    {"R32ArrayExact", 135, Kind::R32, 2.5, Kind::R32, 2.5},
};

INSTANTIATE_TEST_SUITE_P(Table, ConversionTest, ::testing::ValuesIn(kConversions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ValueReferences, FreedWhenTheLastReferenceIsDropped) {
  HVALUE h = hvNew();
  ASSERT_NE(0u, h);
  EXPECT_EQ(0, hvType(h));
  EXPECT_EQ(0, hvCount(h));

  EXPECT_EQ(1, hvUse(h));
  EXPECT_EQ(1, hvRelease(h));
  EXPECT_EQ(1, hvSetI16(h, 5)) << "one reference is still held";

  EXPECT_EQ(1, hvRelease(h));
  EXPECT_EQ(0, hvSetI16(h, 5));
  EXPECT_EQ(0, hvUse(h));
  EXPECT_EQ(0, hvRelease(h));
}

TEST(ValueReferences, FreedHandlesAreNotHandedOutAgain) {
  std::vector<HVALUE> freed;
  for (int i = 0; i < 1000; ++i) {
    freed.push_back(hvNew());
    ASSERT_NE(0u, freed.back());
    ASSERT_EQ(1, hvRelease(freed.back()));
  }
  std::vector<HVALUE> live;
  for (int i = 0; i < 1000; ++i) live.push_back(hvNew());
  for (HVALUE h : live) {
    EXPECT_EQ(1, hvSetU8(h, 1));
    for (HVALUE old : freed) ASSERT_NE(old, h);
  }
  for (HVALUE old : freed) EXPECT_EQ(0, hvType(old));
  for (HVALUE h : live) EXPECT_EQ(1, hvRelease(h));
}

TEST(ValueReferences, CountStaysExactUnderConcurrentUse) {
  HVALUE shared = hvNew();
  ASSERT_NE(0u, shared);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared] {
      for (int i = 0; i < 2000; ++i) hvUse(shared);
      for (int i = 0; i < 2000; ++i) {
        HVALUE own = hvNew();
        hvSetR32(own, 1.0f);
        hvRelease(own);
      }
      for (int i = 0; i < 2000; ++i) hvRelease(shared);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, hvSetU8(shared, 3)) << "the first reference is still held";
  EXPECT_EQ(1, hvRelease(shared));
  EXPECT_EQ(0, hvSetU8(shared, 3));
}

// Every call on a handle that names no value fails, and no output variable is touched.
void ExpectEveryCallFails(HVALUE h) {
  SCOPED_TRACE("handle " + std::to_string(h));
  uint8_t u8 = 0xA5;
  int16_t i16 = 0x5A5;
  int32_t i32 = 0x5A5A5A;
  float r32 = 42.5f;
  EXPECT_EQ(0, hvUse(h));
  EXPECT_EQ(0, hvRelease(h));
  EXPECT_EQ(0, hvDim(h, 131, 3));
  EXPECT_EQ(0, hvSetU8(h, 1));
  EXPECT_EQ(0, hvSetI16(h, 1));
  EXPECT_EQ(0, hvSetI32(h, 1));
  EXPECT_EQ(0, hvSetR32(h, 1));
  EXPECT_EQ(0, hvGetU8(h, &u8));
  EXPECT_EQ(0, hvGetI16(h, &i16));
  EXPECT_EQ(0, hvGetI32(h, &i32));
  EXPECT_EQ(0, hvGetR32(h, &r32));
  EXPECT_EQ(0, hvSetAtU8(h, 0, 1));
  EXPECT_EQ(0, hvSetAtI16(h, 0, 1));
  EXPECT_EQ(0, hvSetAtR32(h, 0, 1));
  EXPECT_EQ(0, hvGetAtU8(h, 0, &u8));
  EXPECT_EQ(0, hvGetAtI16(h, 0, &i16));
  EXPECT_EQ(0, hvGetAtR32(h, 0, &r32));
  EXPECT_EQ(0, hvType(h));
  EXPECT_EQ(0, hvCount(h));
  EXPECT_EQ(0xA5, u8);
  EXPECT_EQ(0x5A5, i16);
  EXPECT_EQ(0x5A5A5A, i32);
  EXPECT_EQ(42.5f, r32);
}

TEST(UnknownHandles, ZeroNeverIssuedAndFreedHandlesAllFail) {
  ExpectEveryCallFails(0);
  ExpectEveryCallFails(0xFFFFFFF0u);

  HVALUE stale = hvNew();
  ASSERT_EQ(1, hvDim(stale, 131, 3));
  ASSERT_EQ(1, hvRelease(stale));
  ExpectEveryCallFails(stale);
}

TEST(ValueShape, GettersThatDoNotFitTheShapeFailAndLeaveTheVariable) {
  Value empty, scalar, array, none;
  ASSERT_EQ(1, hvSetI32(scalar.h(), 7));
  ASSERT_EQ(1, hvDim(array.h(), 135, 3));
  ASSERT_EQ(1, hvDim(none.h(), 130, 0));

  int16_t i16 = 99;
  float r32 = 9.5f;
  uint8_t u8 = 77;
  int32_t i32 = 55;
  EXPECT_EQ(0, hvGetI16(empty.h(), &i16)) << "empty";
  EXPECT_EQ(0, hvGetI32(array.h(), &i32)) << "scalar getter on an array";
  EXPECT_EQ(0, hvGetU8(none.h(), &u8)) << "scalar getter on an empty array";
  EXPECT_EQ(0, hvGetAtR32(scalar.h(), 0, &r32)) << "element getter on a scalar";
  EXPECT_EQ(0, hvSetAtR32(scalar.h(), 0, 1.0f)) << "element setter on a scalar";
  EXPECT_EQ(0, hvGetAtU8(empty.h(), 0, &u8)) << "element getter on an empty value";
  EXPECT_EQ(0, hvSetAtU8(empty.h(), 0, 1)) << "element setter on an empty value";
  EXPECT_EQ(99, i16);
  EXPECT_EQ(9.5f, r32);
  EXPECT_EQ(77, u8);
  EXPECT_EQ(55, i32);
  EXPECT_EQ(4, hvType(scalar.h())) << "a refused element write leaves the scalar";
  EXPECT_EQ(0, hvType(empty.h()));
}

TEST(ValueShape, NullOutputPointersAreRefused) {
  Value scalar, array;
  ASSERT_EQ(1, hvSetR32(scalar.h(), 1.0f));
  ASSERT_EQ(1, hvDim(array.h(), 131, 2));
  EXPECT_EQ(0, hvGetU8(scalar.h(), nullptr));
  EXPECT_EQ(0, hvGetI16(scalar.h(), nullptr));
  EXPECT_EQ(0, hvGetI32(scalar.h(), nullptr));
  EXPECT_EQ(0, hvGetR32(scalar.h(), nullptr));
  EXPECT_EQ(0, hvGetAtU8(array.h(), 0, nullptr));
  EXPECT_EQ(0, hvGetAtI16(array.h(), 0, nullptr));
  EXPECT_EQ(0, hvGetAtR32(array.h(), 0, nullptr));
}

TEST(ValueArrays, IndexMustBeBelowTheCount) {
  Value v;
  ASSERT_EQ(1, hvDim(v.h(), 131, 3));
  EXPECT_EQ(1, hvSetAtI16(v.h(), 2, -9));
  EXPECT_EQ(0, hvSetAtI16(v.h(), 3, 1));
  EXPECT_EQ(0, hvSetAtI16(v.h(), 0xFFFF, 1));
  int16_t got = 123;
  EXPECT_EQ(0, hvGetAtI16(v.h(), 3, &got));
  EXPECT_EQ(123, got);
  EXPECT_EQ(1, hvGetAtI16(v.h(), 2, &got));
  EXPECT_EQ(-9, got);
}

TEST(ValueArrays, ZeroLengthArrayHasItsTypeAndNoElements) {
  for (uint16_t type : {130, 131, 135}) {
    SCOPED_TRACE(type);
    Value v;
    ASSERT_EQ(1, hvDim(v.h(), type, 0));
    EXPECT_EQ(type, hvType(v.h()));
    EXPECT_EQ(0, hvCount(v.h()));
    float r32 = 3.0f;
    EXPECT_EQ(0, hvGetAtR32(v.h(), 0, &r32));
    EXPECT_EQ(0, hvSetAtR32(v.h(), 0, 1.0f));
    EXPECT_EQ(3.0f, r32);
  }
}

TEST(ValueArrays, DimZeroesAndReplacesWhateverWasHeld) {
  Value v;
  ASSERT_EQ(1, hvDim(v.h(), 135, 2));
  ASSERT_EQ(1, hvSetAtR32(v.h(), 1, 8.5f));
  ASSERT_EQ(1, hvDim(v.h(), 131, 3));
  EXPECT_EQ(131, hvType(v.h()));
  EXPECT_EQ(3, hvCount(v.h()));
  for (uint16_t i = 0; i < 3; ++i) {
    int16_t got = -1;
    ASSERT_EQ(1, hvGetAtI16(v.h(), i, &got));
    EXPECT_EQ(0, got) << i;
  }

  ASSERT_EQ(1, hvSetU8(v.h(), 4));
  EXPECT_EQ(2, hvType(v.h())) << "a scalar setter turns an array into a scalar";
  EXPECT_EQ(1, hvCount(v.h()));

  ASSERT_EQ(1, hvDim(v.h(), 130, 0xFFFF));
  EXPECT_EQ(0xFFFF, hvCount(v.h()));
  EXPECT_EQ(1, hvSetAtU8(v.h(), 0xFFFE, 200));
  uint8_t last = 0;
  EXPECT_EQ(1, hvGetAtU8(v.h(), 0xFFFE, &last));
  EXPECT_EQ(200, last);
}

TEST(ValueArrays, DimWithAnotherTypeCodeFailsAndKeepsTheValue) {
  Value v;
  ASSERT_EQ(1, hvSetI16(v.h(), -300));
  for (uint16_t type : {0, 2, 3, 4, 7, 128, 129, 132, 134, 136, 0xFFFF}) {
    EXPECT_EQ(0, hvDim(v.h(), type, 2)) << type;
  }
  EXPECT_EQ(3, hvType(v.h()));
  int16_t got = 0;
  EXPECT_EQ(1, hvGetI16(v.h(), &got));
  EXPECT_EQ(-300, got);
}

TEST(ValueLibraryHeader, UsableFromC) { EXPECT_EQ(1, et32bFromC()); }

}  // namespace
