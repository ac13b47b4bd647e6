// The shared value readers on a model server: the active-power record, the
// scaling of the limit into whole watts, TotW and the schedule map.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "foundation/ModelLookup.h"
#include "internal/ValueReaders.h"
#include "model/StaticModel.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ActiveLimitScaling, TableOfValuesAndMultipliers) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Row {
        float mxVal;
        int32_t multiplier;
        int64_t want;
        ScaleError error;
    };
    const Row rows[] = {
        {4.2f, 2, 420, ScaleError::None},
        {2.5f, 0, 3, ScaleError::None},
        {0.5f, 0, 1, ScaleError::None},
        {0.49f, 0, 0, ScaleError::None},
        {12.0f, -1, 1, ScaleError::None},
        {4200.9f, 0, 4201, ScaleError::None},
        {1.0f, -24, 0, ScaleError::None},
        {-1.0f, -24, -1, ScaleError::None},
        {-1.0f, 24, -1, ScaleError::None},
        {-0.2f, 0, -1, ScaleError::None},
        {-inf, 0, -1, ScaleError::None},
        {-1.0f, 25, 0, ScaleError::MultiplierOutOfRange},
        {-1.0f, -25, 0, ScaleError::MultiplierOutOfRange},
        {nan, 25, 0, ScaleError::MultiplierOutOfRange},
        {1.0f, 24, 0, ScaleError::OutOfBounds},
        {9.3e18f, 0, 0, ScaleError::OutOfBounds},
        {inf, 0, 0, ScaleError::OutOfBounds},
        {nan, 0, 0, ScaleError::NotANumber},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.mxVal << " x 10^" << row.multiplier);
        ActiveLimit limit;
        limit.value = row.mxVal;
        limit.multiplier = row.multiplier;
        const ScaledLimit got = limit.scaledWatts();
        EXPECT_EQ(got.error, row.error);
        if (row.error == ScaleError::None) {
            EXPECT_EQ(got.value, row.want);
        }
    }
    EXPECT_STREQ(scaleErrorText(ScaleError::MultiplierOutOfRange), "Scale factor is out of expected range.");
    EXPECT_STREQ(scaleErrorText(ScaleError::OutOfBounds), "Scaled power limit is out of int64_t bounds.");
}

TEST(IntegerConversions, RefuseWhatHasNoInt64Value) {
    EXPECT_EQ(truncateToInt64(321.9), 321);
    EXPECT_EQ(truncateToInt64(-0.7), 0);
    EXPECT_EQ(truncateToInt64(-1.0), -1);
    EXPECT_EQ(roundToInt64(-2.5), -3);
    EXPECT_EQ(roundToInt64(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
    EXPECT_FALSE(roundToInt64(9223372036854775808.0));
    EXPECT_FALSE(truncateToInt64(-1e19));
    EXPECT_FALSE(truncateToInt64(std::nan("")));
    EXPECT_FALSE(roundToInt64(std::numeric_limits<double>::infinity()));
}

class ModelReadersTest : public testsupport::IecTest {
protected:
    ModelReadersTest() : server(IedServer_create(getStaticIedModel())) { core.iedServer = server; }
    ~ModelReadersTest() override { IedServer_destroy(server); }

    void setFloat(const std::string& ld, const char* ln, const char* dobj, const char* da, const char* sub, float v) {
        DataAttribute* attr = findSubDataAttribute(ld, ln, dobj, da, sub);
        ASSERT_NE(attr, nullptr) << ld << " " << ln << " " << dobj << " " << da;
        IedServer_updateFloatAttributeValue(server, attr, v);
    }

    IedServer server;
    RecordingCore core;
};

TEST_F(ModelReadersTest, ReadsTheActivePowerOutputOfTheNamedCls) {
    setFloat("CLS2", "ActPow_GGIO001", "AnOut1", "mxVal", "f", 4.2f);
    setFloat("CLS2", "ActPow_GGIO001", "AnOut1", "minVal", "f", -800.4f);
    setFloat("CLS2", "ActPow_GGIO001", "AnOut1", "maxVal", "f", 1500.6f);
    IedServer_updateInt32AttributeValue(
        server, findSubDataAttribute("CLS2", "ActPow_GGIO001", "AnOut1", "units", "multiplier"), 2);
    IedServer_updateUTCTimeAttributeValue(server, findDataAttribute("CLS2", "ActPow_GGIO001", "AnOut1", "t"),
                                          1767225600123ULL);
    setFloat("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal", "f", 7.0f);

    const ActiveLimit cls2 = valuereaders::getActPowGGIO001An1(core, 2);
    EXPECT_TRUE(cls2.found);
    EXPECT_TRUE(cls2.hasMultiplier);
    EXPECT_FLOAT_EQ(cls2.value, 4.2f);
    EXPECT_EQ(cls2.multiplier, 2);
    EXPECT_FLOAT_EQ(cls2.minVal, -800.4f);
    EXPECT_FLOAT_EQ(cls2.maxVal, 1500.6f);
    EXPECT_EQ(cls2.timestamp, 1767225600123ULL);
    EXPECT_EQ(cls2.scaledWatts().value, 420);
}

TEST_F(ModelReadersTest, AMissingOutputReadsAsZerosWithOneLine) {
    testing::internal::CaptureStdout();
    const ActiveLimit missing = valuereaders::getActPowGGIO001An1(core, 5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "getActPowGGIO001An1 -> DataAttribute for CLS5 not found\n");
    EXPECT_FALSE(missing.found);
    EXPECT_EQ(missing.value, 0.0f);
    EXPECT_EQ(missing.multiplier, 0);
    EXPECT_EQ(missing.timestamp, 0u);
    EXPECT_EQ(missing.scaledWatts().value, 0);
}

TEST_F(ModelReadersTest, TotwTruncatesTheTotWOfTheNamedCls) {
    setFloat("CLS1", "MMXU001", "TotW", "mag", "f", 321.9f);
    setFloat("CLS3", "MMXU001", "TotW", "mag", "f", -0.7f);
    setFloat("CLS4", "MMXU001", "TotW", "mag", "f", std::numeric_limits<float>::quiet_NaN());
    const auto cls1 = valuereaders::totwValue(server, 1, 1700000000);
    ASSERT_TRUE(cls1);
    EXPECT_EQ(cls1->value, 321);
    EXPECT_EQ(cls1->time, 1700000000u);
    EXPECT_EQ(cls1->multiplier, 0);
    ASSERT_TRUE(valuereaders::totwValue(server, 3, 1));
    EXPECT_EQ(valuereaders::totwValue(server, 3, 1)->value, 0);
    EXPECT_FALSE(valuereaders::totwValue(server, 4, 1));
    EXPECT_FALSE(valuereaders::totwValue(server, 5, 1));
}

TEST_F(ModelReadersTest, TheScheduleMapIsPrintedInKeyOrder) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(valuereaders::getSchedulePowerLimit(core, 1).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "getSchedulePowerLimit: \n");

    core.setScheduleData(2, {{2000, -1}, {1000, 4200}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(valuereaders::getSchedulePowerLimit(core, 2).size(), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "getSchedulePowerLimit: \n1000 4200\n2000 -1\n");
}

}  // namespace
