// BER reader limits and minimal-form writer output.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "iec61850/mms/ber.h"

using ber::Reader;
using ber::Tlv;
using ber::Writer;
using Bytes = std::vector<uint8_t>;

namespace {

struct HeaderCase {
    const char* what;
    Bytes input;
    bool ok;
    ber::Error error;
};

class BerHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(BerHeader, DecodesOrRefuses) {
    const auto& c = GetParam();
    Reader r(c.input);
    Tlv tlv;
    bool all = true;
    while (!r.atEnd() && (all = r.next(tlv))) {
    }
    EXPECT_EQ(all && r.ok(), c.ok) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BerHeader,
    ::testing::Values(HeaderCase{"empty content", {0x04, 0x00}, true, ber::Error::None},
                      HeaderCase{"long form length", {0x04, 0x81, 0x01, 0xAA}, true, ber::Error::None},
                      HeaderCase{"high tag number", {0xBF, 0x81, 0x00, 0x00}, true, ber::Error::None},
                      HeaderCase{"content past end", {0x04, 0x05, 0x01}, false, ber::Error::Truncated},
                      HeaderCase{"length octets missing", {0x04, 0x82, 0x01}, false, ber::Error::Truncated},
                      HeaderCase{"tag only", {0x30}, false, ber::Error::Truncated},
                      HeaderCase{"indefinite length", {0x30, 0x80, 0x00, 0x00}, false, ber::Error::BadLength},
                      HeaderCase{"length of 5 octets", {0x04, 0x85, 0, 0, 0, 0, 1, 0}, false, ber::Error::BadLength},
                      HeaderCase{"length above limit", {0x04, 0x83, 0x01, 0x00, 0x01}, false, ber::Error::BadLength},
                      HeaderCase{"high tag unterminated", {0x1F, 0x81, 0x82}, false, ber::Error::Truncated},
                      HeaderCase{"high tag leading zero", {0x1F, 0x80, 0x01, 0x00}, false, ber::Error::BadTag},
                      HeaderCase{"high tag too large", {0x1F, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, false,
                                 ber::Error::BadTag}));

TEST(BerReader, DepthLimitStopsDescent) {
    // 40 nested SEQUENCEs: entering them must stop at the limit without recursion.
    Bytes data;
    for (int i = 0; i < 40; ++i) {
        Bytes outer = {0x30, static_cast<uint8_t>(data.size())};
        outer.insert(outer.end(), data.begin(), data.end());
        data = outer;
    }
    Reader r(data);
    unsigned depth = 0;
    Tlv tlv;
    while (r.next(tlv)) {
        r = r.enter(tlv);
        ++depth;
    }
    EXPECT_EQ(r.error(), ber::Error::TooDeep);
    EXPECT_EQ(depth, ber::kMaxDepth + 1);  // the reader one level too deep is in error at once
}

TEST(BerReader, ChildCannotSeeBeyondItsParent) {
    // The inner element claims 4 octets while its parent holds 2.
    const Bytes data = {0x30, 0x02, 0x04, 0x04, 0x01, 0x02, 0x03, 0x04};
    Reader r(data);
    Tlv outer, inner;
    ASSERT_TRUE(r.next(outer));
    Reader child = r.enter(outer);
    EXPECT_FALSE(child.next(inner));
    EXPECT_EQ(child.error(), ber::Error::Truncated);
}

struct IntCase {
    int64_t value;
    Bytes content;
};

class BerInteger : public ::testing::TestWithParam<IntCase> {};

TEST_P(BerInteger, MinimalFormRoundTrip) {
    const auto& c = GetParam();
    Writer w;
    w.writeInteger(ber::universal(2), c.value);
    Bytes expected = {0x02, static_cast<uint8_t>(c.content.size())};
    expected.insert(expected.end(), c.content.begin(), c.content.end());
    EXPECT_EQ(w.bytes(), expected);
    int64_t back = 0;
    ASSERT_TRUE(ber::decodeInteger(c.content, back));
    EXPECT_EQ(back, c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, BerInteger,
                         ::testing::Values(IntCase{0, {0x00}}, IntCase{127, {0x7F}}, IntCase{128, {0x00, 0x80}},
                                           IntCase{-1, {0xFF}}, IntCase{-128, {0x80}}, IntCase{-129, {0xFF, 0x7F}},
                                           IntCase{256, {0x01, 0x00}},
                                           IntCase{INT64_MIN, {0x80, 0, 0, 0, 0, 0, 0, 0}},
                                           IntCase{INT64_MAX, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));

TEST(BerPrimitive, RefusesNonMinimalAndOutOfRangeForms) {
    int64_t i;
    uint64_t u;
    EXPECT_FALSE(ber::decodeInteger(Bytes{}, i));
    EXPECT_FALSE(ber::decodeInteger(Bytes{0x00, 0x05}, i));
    EXPECT_FALSE(ber::decodeInteger(Bytes{0xFF, 0x80}, i));
    EXPECT_FALSE(ber::decodeInteger(Bytes(9, 0x01), i));
    EXPECT_FALSE(ber::decodeUnsigned(Bytes{0x80}, u));  // negative
    EXPECT_TRUE(ber::decodeUnsigned(Bytes{0x00, 0xFF}, u));
    EXPECT_EQ(u, 0xFFu);
    bool b;
    EXPECT_FALSE(ber::decodeBoolean(Bytes{0x01, 0x00}, b));
    std::vector<uint8_t> bits;
    int count;
    EXPECT_FALSE(ber::decodeBitString(Bytes{}, bits, count));
    EXPECT_FALSE(ber::decodeBitString(Bytes{0x08, 0x00}, bits, count));
    EXPECT_FALSE(ber::decodeBitString(Bytes{0x01}, bits, count));  // padding without bits
    double d;
    bool isDouble;
    EXPECT_FALSE(ber::decodeFloat(Bytes{0x08, 0, 0, 0}, d, isDouble));
    EXPECT_FALSE(ber::decodeFloat(Bytes{0x0B, 0, 0, 0, 0}, d, isDouble));
    std::string s;
    EXPECT_FALSE(ber::decodeVisibleString(Bytes{'a', 0x00}, s));
    EXPECT_FALSE(ber::decodeVisibleString(Bytes{'a', 'b', 'c'}, s, 2));
    std::vector<uint32_t> arcs;
    EXPECT_FALSE(ber::decodeOid(Bytes{0x28, 0x81}, arcs));        // unterminated arc
    EXPECT_FALSE(ber::decodeOid(Bytes{0x28, 0x80, 0x01}, arcs));  // non-minimal arc
}

TEST(BerWriter, EncodesEachPrimitiveForm) {
    Writer w;
    w.writeUnsigned(ber::context(6), 0x80);
    EXPECT_EQ(w.take(), (Bytes{0x86, 0x02, 0x00, 0x80}));
    w.writeUnsigned(ber::context(6), UINT64_MAX);
    EXPECT_EQ(w.take(), (Bytes{0x86, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const uint8_t bits[] = {0xFF, 0xFF};
    w.writeBitString(ber::context(4), bits, 10);  // unused bits cleared
    EXPECT_EQ(w.take(), (Bytes{0x84, 0x03, 0x06, 0xFF, 0xC0}));
    w.writeBitString(ber::context(4), {}, 0);
    EXPECT_EQ(w.take(), (Bytes{0x84, 0x01, 0x00}));
    w.writeFloat(ber::context(7), -1.0f);
    EXPECT_EQ(w.take(), (Bytes{0x87, 0x05, 0x08, 0xBF, 0x80, 0x00, 0x00}));
    w.writeDouble(ber::context(7), 1.5);
    EXPECT_EQ(w.take(), (Bytes{0x87, 0x09, 0x0B, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}));
    const uint32_t mmsAbstractSyntax[] = {1, 0, 9506, 2, 1};
    w.writeOid(ber::universal(6), mmsAbstractSyntax);
    const Bytes oid = {0x06, 0x05, 0x28, 0xCA, 0x22, 0x02, 0x01};
    EXPECT_EQ(w.bytes(), oid);
    std::vector<uint32_t> arcs;
    ASSERT_TRUE(ber::decodeOid(std::span(oid).subspan(2), arcs));
    EXPECT_EQ(arcs, (std::vector<uint32_t>{1, 0, 9506, 2, 1}));
    w.clear();
    w.writeTag(ber::context(77), true);
    w.writeTag(ber::context(300), false);
    EXPECT_EQ(w.take(), (Bytes{0xBF, 0x4D, 0x9F, 0x82, 0x2C}));
    double d;
    bool isDouble;
    ASSERT_TRUE(ber::decodeFloat(Bytes{0x08, 0x41, 0x38, 0x00, 0x00}, d, isDouble));
    EXPECT_EQ(d, 11.5);
    EXPECT_FALSE(isDouble);
}

TEST(BerWriter, ConstructedLengthsWidenWhenNeeded) {
    for (size_t contentSize : {size_t{0}, size_t{127}, size_t{128}, size_t{255}, size_t{256}, size_t{70000}}) {
        Writer w;
        const size_t m = w.begin(ber::universal(16));
        for (size_t i = 0; i < contentSize; ++i) w.writeByte(static_cast<uint8_t>(i));
        w.end(m);
        Tlv tlv;
        Reader r(w.bytes());
        if (contentSize > ber::kMaxLength) {
            EXPECT_FALSE(r.next(tlv));  // our own reader refuses what it would never accept
            continue;
        }
        ASSERT_TRUE(r.next(tlv)) << contentSize;
        EXPECT_TRUE(r.atEnd());
        EXPECT_EQ(tlv.content.size(), contentSize);
        if (contentSize > 0) {
            EXPECT_EQ(tlv.content.back(), static_cast<uint8_t>(contentSize - 1));
        }
    }
}

}  // namespace
