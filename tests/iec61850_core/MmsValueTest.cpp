// Values: construction, round trips of the time encodings, type-checked updates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "iec61850/core/mms_value_arena.h"
#include "iec61850/mms_value.h"

namespace {

using Value = MmsValuePtr;

TEST(MmsValueTime, EveryMillisecondSurvivesARoundTrip) {
    const uint64_t base = 1700000000ull * 1000;
    Value v(MmsValue_newUtcTime(0));
    for (uint64_t ms = 0; ms < 1000; ++ms) {
        MmsValue_setUtcTimeMs(v.get(), base + ms);
        ASSERT_EQ(MmsValue_getUtcTimeInMs(v.get()), base + ms) << ms;
    }
}

TEST(MmsValueTime, WireLayoutIsSecondsFractionQuality) {
    Value v(MmsValue_newUtcTimeByMsTime(0x01020304ull * 1000 + 500));
    MmsValue_setUtcTimeQuality(v.get(), 0x0a);
    const uint8_t* b = MmsValue_getUtcTimeBuffer(v.get());
    const uint8_t expected[8] = {0x01, 0x02, 0x03, 0x04, 0x80, 0x00, 0x00, 0x0a};
    EXPECT_EQ(std::memcmp(b, expected, 8), 0);
    EXPECT_DOUBLE_EQ(MmsValue_toUnixTimestamp(v.get()), 0x01020304 + 0.5);
    // Setting the time keeps the quality byte.
    MmsValue_setUtcTimeMs(v.get(), 1000);
    EXPECT_EQ(MmsValue_getUtcTimeQuality(v.get()), 0x0a);
    EXPECT_EQ(MmsValue_toUnixTimestamp(v.get()), 1.0);

    Value copy(MmsValue_newUtcTime(0));
    MmsValue_setUtcTimeByBuffer(copy.get(), expected);
    EXPECT_EQ(MmsValue_getUtcTimeInMs(copy.get()), 0x01020304ull * 1000 + 500);
}

TEST(MmsValueBits, BitZeroIsTheFirstWireBitAndTheLeastSignificantInteger) {
    Value q(MmsValue_newBitString(13));
    EXPECT_EQ(MmsValue_getBitStringByteSize(q.get()), 2);
    MmsValue_setBitStringFromInteger(q.get(), 0x1001);  // bits 0 and 12
    EXPECT_TRUE(MmsValue_getBitStringBit(q.get(), 0));
    EXPECT_TRUE(MmsValue_getBitStringBit(q.get(), 12));
    EXPECT_FALSE(MmsValue_getBitStringBit(q.get(), 13));  // out of range reads false
    EXPECT_EQ(MmsValue_getBitStringBuffer(q.get())[0], 0x80);
    EXPECT_EQ(MmsValue_getBitStringBuffer(q.get())[1], 0x08);
    EXPECT_EQ(MmsValue_getBitStringAsInteger(q.get()), 0x1001u);
    MmsValue_setBitStringFromInteger(q.get(), 0xffffffff);  // only 13 bits exist
    EXPECT_EQ(MmsValue_getBitStringAsInteger(q.get()), 0x1fffu);
}

TEST(MmsValueStrings, BoundsAreKept) {
    Value s(MmsValue_newVisibleStringWithSize(4));
    MmsValue_setVisibleString(s.get(), "abcdef");
    EXPECT_STREQ(MmsValue_toString(s.get()), "abcd");
    EXPECT_EQ(MmsValue_getStringMaxSize(s.get()), 4);

    Value o(MmsValue_newOctetString(0, 3));
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    MmsValue_setOctetString(o.get(), bytes, 5);
    EXPECT_EQ(MmsValue_getOctetStringSize(o.get()), 3);
    EXPECT_EQ(MmsValue_getOctetStringBuffer(o.get())[2], 3);

    Value n(MmsValue_newVisibleString(nullptr));
    EXPECT_STREQ(MmsValue_toString(n.get()), "");
    // "ü" is two bytes in UTF-8; sizes count bytes.
    Value u(MmsValue_newVisibleString("f\xc3\xbcr"));
    EXPECT_EQ(MmsValue_getStringSize(u.get()), 4);
}

struct UpdateCase {
    const char* name;
    MmsValue* (*target)();
    MmsValue* (*source)();
    bool accepted;
};

const UpdateCase kUpdateCases[] = {
    {"int into int", [] { return MmsValue_newIntegerFromInt32(0); }, [] { return MmsValue_newIntegerFromInt32(-7); }, true},
    {"unsigned into int", [] { return MmsValue_newIntegerFromInt32(0); }, [] { return MmsValue_newUnsignedFromUint32(7); }, false},
    {"int into unsigned", [] { return MmsValue_newUnsignedFromUint32(0); }, [] { return MmsValue_newIntegerFromInt32(7); }, false},
    {"int64 beyond int32 width", [] { return MmsValue_newIntegerFromInt32(0); }, [] { return MmsValue_newIntegerFromInt64(1ll << 40); }, false},
    {"300 into one-byte unsigned", [] { return MmsValue_newUnsignedWithWidth(1); }, [] { return MmsValue_newUnsignedFromUint32(300); }, false},
    {"255 into one-byte unsigned", [] { return MmsValue_newUnsignedWithWidth(1); }, [] { return MmsValue_newUnsignedFromUint32(255); }, true},
    {"-128 into one-byte int", [] { return MmsValue_newIntegerWithWidth(1); }, [] { return MmsValue_newIntegerFromInt32(-128); }, true},
    {"128 into one-byte int", [] { return MmsValue_newIntegerWithWidth(1); }, [] { return MmsValue_newIntegerFromInt32(128); }, false},
    {"float into int", [] { return MmsValue_newIntegerFromInt32(0); }, [] { return MmsValue_newFloat(1.0f); }, false},
    {"double into float", [] { return MmsValue_newFloat(0); }, [] { return MmsValue_newDouble(2.5); }, true},
    {"bool into bool", [] { return MmsValue_newBoolean(false); }, [] { return MmsValue_newBoolean(true); }, true},
    {"string too long", [] { return MmsValue_newVisibleStringWithSize(3); }, [] { return MmsValue_newVisibleString("abcd"); }, false},
    {"string at bound", [] { return MmsValue_newVisibleStringWithSize(3); }, [] { return MmsValue_newVisibleString("abc"); }, true},
    {"octets too long", [] { return MmsValue_newOctetString(0, 2); }, [] { return MmsValue_newOctetString(3, 0); }, false},
    {"bit string of other size", [] { return MmsValue_newBitString(13); }, [] { return MmsValue_newBitString(2); }, false},
    {"bit string of same size", [] { return MmsValue_newBitString(13); }, [] { return MmsValue_newBitString(13); }, true},
    {"time into time", [] { return MmsValue_newUtcTime(0); }, [] { return MmsValue_newUtcTime(5); }, true},
    {"time into string", [] { return MmsValue_newVisibleString(""); }, [] { return MmsValue_newUtcTime(5); }, false},
    {"binary time of other size", [] { return MmsValue_newBinaryTime(true); }, [] { return MmsValue_newBinaryTime(false); }, false},
    {"error into int", [] { return MmsValue_newIntegerFromInt32(0); }, [] { return MmsValue_newDataAccessError(DATA_ACCESS_ERROR_OBJECT_UNDEFINED); }, false},
};

TEST(MmsValueUpdate, TypeChecksEveryKind) {
    for (const auto& c : kUpdateCases) {
        Value target(c.target());
        Value source(c.source());
        Value before(MmsValue_clone(target.get()));
        EXPECT_EQ(MmsValue_update(target.get(), source.get()), c.accepted) << c.name;
        if (c.accepted) {
            EXPECT_TRUE(MmsValue_equals(target.get(), source.get()) ||
                        MmsValue_getType(target.get()) == MMS_FLOAT) << c.name;
        } else {
            EXPECT_TRUE(MmsValue_equals(target.get(), before.get())) << c.name << ": refused update changed the value";
        }
    }
}

MmsValue* makeAnalogue(float f) {
    MmsValue* s = MmsValue_createEmptyStructure(2);
    MmsValue_setElement(s, 0, MmsValue_newFloat(f));
    MmsValue* units = MmsValue_createEmptyStructure(2);
    MmsValue_setElement(units, 0, MmsValue_newIntegerFromInt32(38));
    MmsValue_setElement(units, 1, MmsValue_newIntegerFromInt32(3));
    MmsValue_setElement(s, 1, units);
    return s;
}

TEST(MmsValueUpdate, StructuresRecurseAndStayUnchangedOnAnyMismatch) {
    Value target(makeAnalogue(1.0f));
    MmsValue* innerBefore = MmsValue_getElement(target.get(), 0);

    Value good(makeAnalogue(2.5f));
    ASSERT_TRUE(MmsValue_update(target.get(), good.get()));
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(target.get(), 0)), 2.5f);
    // Content is copied into the existing elements; pointers into the structure stay valid.
    EXPECT_EQ(MmsValue_getElement(target.get(), 0), innerBefore);

    // A mismatch deep inside (unsigned where an integer stands) refuses the whole update.
    Value bad(makeAnalogue(9.0f));
    MmsValue_setElement(MmsValue_getElement(bad.get(), 1), 1, MmsValue_newUnsignedFromUint32(0));
    EXPECT_FALSE(MmsValue_update(target.get(), bad.get()));
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(target.get(), 0)), 2.5f);

    Value shorter(MmsValue_createEmptyStructure(1));
    MmsValue_setElement(shorter.get(), 0, MmsValue_newFloat(3.0f));
    EXPECT_FALSE(MmsValue_update(target.get(), shorter.get()));
    EXPECT_FALSE(MmsValue_equalTypes(target.get(), shorter.get()));
    EXPECT_FALSE(MmsValue_equalTypes(target.get(), bad.get()));
    EXPECT_TRUE(MmsValue_equalTypes(target.get(), good.get()));
}

TEST(MmsValueCompare, EqualsAndCloneAreDeep) {
    Value a(makeAnalogue(1.0f));
    Value b(MmsValue_clone(a.get()));
    EXPECT_TRUE(MmsValue_equals(a.get(), b.get()));
    EXPECT_NE(MmsValue_getElement(a.get(), 1), MmsValue_getElement(b.get(), 1));
    MmsValue_setInt32(MmsValue_getElement(MmsValue_getElement(b.get(), 1), 1), 0);
    EXPECT_FALSE(MmsValue_equals(a.get(), b.get()));

    Value nan1(MmsValue_newFloat(std::nanf("")));
    Value nan2(MmsValue_newFloat(std::nanf("")));
    EXPECT_TRUE(MmsValue_equals(nan1.get(), nan2.get()));
    EXPECT_STREQ(MmsValue_getTypeString(nan1.get()), "MMS_FLOAT");
    EXPECT_STREQ(MmsValue_getTypeString(a.get()), "MMS_STRUCTURE");
}

TEST(MmsValueScalars, AccessorsAndWidths) {
    Value i(MmsValue_newIntegerFromInt32(-5));
    EXPECT_EQ(MmsValue_toInt32(i.get()), -5);
    EXPECT_EQ(MmsValue_getSizeInBytes(i.get()), 4);
    Value u(MmsValue_newUnsignedFromUint32(4000000000u));
    EXPECT_EQ(MmsValue_toUint32(u.get()), 4000000000u);
    MmsValue_setInt32(u.get(), 1);  // wrong kind: ignored
    EXPECT_EQ(MmsValue_toUint32(u.get()), 4000000000u);
    Value f(MmsValue_newFloat(0));
    MmsValue_setDouble(f.get(), 0.1);
    EXPECT_EQ(MmsValue_toDouble(f.get()), static_cast<double>(0.1f));
    Value e(MmsValue_newDataAccessError(DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT));
    EXPECT_EQ(MmsValue_getDataAccessError(e.get()), DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT);
    EXPECT_EQ(MmsValue_getElement(e.get(), 0), nullptr);
    Value t(MmsValue_newBinaryTime(true));
    EXPECT_EQ(MmsValue_getBinaryTimeSize(t.get()), 4);
    const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    MmsValue_setBinaryTimeByBuffer(t.get(), six, 6);
    EXPECT_EQ(MmsValue_getBinaryTimeSize(t.get()), 6);
    EXPECT_EQ(MmsValue_getBinaryTimeBuffer(t.get())[5], 6);
}

}  // namespace

namespace {

TEST(MmsValueArenaTest, PlacedValuesBehaveLikeHeapValues) {
    MmsValueArena arena;
    MmsValue* structure = arena.newStructure(3);
    MmsValue* text = arena.adopt(MmsValue_newVisibleStringWithSize(255));
    MmsValue_setElement(structure, 0, text);
    MmsValue_setElement(structure, 1, arena.adopt(MmsValue_newFloat(1.5f)));
    MmsValue_setElement(structure, 2, MmsValue_newIntegerFromInt32(7));  // a heap value inside is fine too
    MmsValue_setVisibleString(text, "a text longer than any inline storage");
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(structure, 0)), "a text longer than any inline storage");

    Value copy(MmsValue_clone(structure));  // a clone is an ordinary heap value
    EXPECT_TRUE(MmsValue_equals(copy.get(), structure));
    MmsValue_setElement(structure, 1, arena.adopt(MmsValue_newFloat(2.5f)));  // replaces a placed element
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(structure, 1)), 2.5f);

    // A list larger than one arena block.
    MmsValue* large = arena.newStructure(20000);
    EXPECT_EQ(MmsValue_getArraySize(large), 20000);
    EXPECT_EQ(MmsValue_getElement(large, 19999), nullptr);
    MmsValue* after = arena.adopt(MmsValue_newBoolean(true));
    EXPECT_TRUE(MmsValue_getBoolean(after));

    // Releases the payloads (the text buffer); the storage goes with the arena.
    MmsValue_delete(structure);
    MmsValue_delete(large);
    MmsValue_delete(after);
}

}  // namespace
