#include <gtest/gtest.h>

#include <cstring>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/TofTypes.h"

using namespace Quorvex;

TEST(ToStr, EveryCodeAndValuesOutsideTheEnumeration)
{
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, "Success"},        {1, "Invalid parameter"}, {2, "No cache"},
        {3, "Unkown device"},  {4, "Not implemented"},   {240, "Skip frame"},
        {-2, "System error"},  {-1, "Unknown error"},    {5, "Unknown error"},
        {7, "Unknown error"},  {-3, "Unknown error"},    {241, "Unknown error"},
        {255, "Unknown error"}, {INT32_MIN, "Unknown error"}, {INT32_MAX, "Unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(to_str(static_cast<TofErrorCode>(c.code)), c.text) << c.code;
}

TEST(Vocabulary, RecordLayoutsAreFixedWidth)
{
    // Records cross into the binding and into callers' code: 32-bit fields,
    // whatever the host's long or pointer size.
    EXPECT_EQ(sizeof(CameraInfo), 32u);
    EXPECT_EQ(sizeof(FrameGeometry), 12u);
    EXPECT_EQ(sizeof(TofErrorCode), 4u);
    EXPECT_EQ(sizeof(DeviceType), 4u);
    EXPECT_TRUE(std::is_signed<std::underlying_type_t<TofErrorCode>>::value);
    EXPECT_FALSE(std::is_signed<std::underlying_type_t<DeviceType>>::value);
}

TEST(FrameBuffers, PlanesAndFormatsPerClass)
{
    DepthData depth(FrameDataFormat{240, 180, FrameType::DEPTH, 0},
                    FrameDataFormat{240, 180, FrameType::CONFIDENCE, 0});
    EXPECT_NE(depth.getData(FrameType::DEPTH), nullptr);
    EXPECT_NE(depth.getData(FrameType::AMPLITUDE), nullptr);
    EXPECT_NE(depth.getData(FrameType::CONFIDENCE), nullptr);
    EXPECT_NE(depth.getData(FrameType::DEPTH), depth.getData(FrameType::AMPLITUDE));
    EXPECT_NE(depth.getData(FrameType::AMPLITUDE), depth.getData(FrameType::CONFIDENCE));
    EXPECT_EQ(depth.getData(FrameType::RAW), nullptr);
    EXPECT_EQ(depth.getData(FrameType::CACHE), nullptr);

    depth.setTimestamp(1234567890123ull);
    FrameDataFormat f{};
    ASSERT_EQ(depth.getFormat(FrameType::AMPLITUDE, f), QuorvexSuccess);
    EXPECT_EQ(f.type, FrameType::CONFIDENCE);
    EXPECT_EQ(f.timestamp, 1234567890123ull);
    ASSERT_EQ(depth.getFormat(FrameType::DEPTH, f), QuorvexSuccess);
    EXPECT_EQ(f.type, FrameType::DEPTH);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 180u);
    EXPECT_EQ(f.timestamp, 1234567890123ull);

    FrameDataFormat untouched{7, 8, FrameType::CACHE, 9};
    EXPECT_EQ(depth.getFormat(FrameType::RAW, untouched), QuorvexUnkownError);
    EXPECT_EQ(untouched.width, 7u);
    EXPECT_EQ(untouched.timestamp, 9u);

    RawData raw(FrameDataFormat{240, 720, FrameType::RAW, 0});
    EXPECT_NE(raw.getData(FrameType::RAW), nullptr);
    EXPECT_EQ(raw.getData(FrameType::DEPTH), nullptr);
    EXPECT_EQ(raw.getFormat(FrameType::DEPTH, untouched), QuorvexUnkownError);
    EXPECT_EQ(untouched.width, 7u);
    raw.setTimestamp(42);
    ASSERT_EQ(raw.getFormat(FrameType::RAW, f), QuorvexSuccess);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(f.timestamp, 42u);

    CacheData cache(240, 720);
    EXPECT_EQ(cache.size(), 240u * 720u * 2u);
    ASSERT_EQ(cache.getFormat(FrameType::CACHE, f), QuorvexSuccess);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 1440u);
    EXPECT_EQ(f.type, FrameType::CACHE);
    EXPECT_EQ(cache.getData(FrameType::RAW), nullptr);
    // The whole plane is writable (ASan checks the extent).
    std::memset(cache.getData(FrameType::CACHE), 0xAB, cache.size());
}

TEST(FrameBuffers, PlanesAreAlignedForTheirElementType)
{
    DepthData depth(FrameDataFormat{3, 3, FrameType::DEPTH, 0}, FrameDataFormat{3, 3, FrameType::CONFIDENCE, 0});
    RawData raw(FrameDataFormat{3, 3, FrameType::RAW, 0});
    for (FrameType t : {FrameType::DEPTH, FrameType::AMPLITUDE, FrameType::CONFIDENCE})
        EXPECT_EQ(reinterpret_cast<uintptr_t>(depth.getData(t)) % alignof(float), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(raw.getData(FrameType::RAW)) % alignof(int16_t), 0u);
}
