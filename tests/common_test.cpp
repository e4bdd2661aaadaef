#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/ByteOrder.h"
#include "common/CpuBackend.h"

using namespace Quorvex;

namespace {

// Every width at every offset of a buffer whose words straddle alignment
// boundaries: the bytes are the value's, lowest first, and nothing around
// them is touched.
TEST(ByteOrder, LittleEndianAtEveryOffset)
{
    const uint64_t value = 0x0807060504030201ull;
    const uint8_t lowestFirst[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (size_t width : {2u, 4u, 8u}) {
        for (size_t at = 0; at < 8; ++at) {
            SCOPED_TRACE(testing::Message() << width << " bytes at " << at);
            uint8_t buf[24];
            std::memset(buf, 0xEE, sizeof buf);
            uint8_t* p = buf + at;
            if (width == 2)
                storeLe16(p, static_cast<uint16_t>(value));
            else if (width == 4)
                storeLe32(p, static_cast<uint32_t>(value));
            else
                storeLe64(p, value);
            EXPECT_EQ(std::memcmp(p, lowestFirst, width), 0);
            for (size_t i = 0; i < sizeof buf; ++i) {
                if (i < at || i >= at + width) {
                    EXPECT_EQ(buf[i], 0xEE) << "byte " << i;
                }
            }
            const uint64_t mask = width == 8 ? ~0ull : (1ull << (8 * width)) - 1;
            const uint64_t back = width == 2 ? loadLe16(p) : width == 4 ? loadLe32(p) : loadLe64(p);
            EXPECT_EQ(back, value & mask);
        }
    }
}

TEST(ByteOrder, TopBitsSurvive)
{
    uint8_t buf[9];
    storeLe16(buf + 1, 0xFFFE);
    EXPECT_EQ(buf[1], 0xFE);
    EXPECT_EQ(buf[2], 0xFF);
    EXPECT_EQ(loadLe16(buf + 1), 0xFFFE);
    storeLe32(buf + 1, 0x80000001u);
    EXPECT_EQ(loadLe32(buf + 1), 0x80000001u);
    EXPECT_EQ(buf[4], 0x80);
    storeLe64(buf + 1, 0x8000000000000001ull);
    EXPECT_EQ(loadLe64(buf + 1), 0x8000000000000001ull);
    EXPECT_EQ(buf[8], 0x80);
}

bool onlyScalar(CpuBackend b) { return b == CpuBackend::SCALAR; }
bool neonToo(CpuBackend b) { return b != CpuBackend::AVX2; }
bool everything(CpuBackend) { return true; }

TEST(CpuBackend, ScalarFirstThenTheFastestAccepted)
{
    struct Case {
        bool (*runs)(CpuBackend);
        std::vector<CpuBackend> want;
    };
    const Case cases[] = {
        {onlyScalar, {CpuBackend::SCALAR}},
        {neonToo, {CpuBackend::SCALAR, CpuBackend::NEON}},
        {everything, {CpuBackend::SCALAR, CpuBackend::AVX2}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(usableBackends(c.runs), c.want);
        EXPECT_EQ(fastestBackend(c.runs), c.want.back());
    }
}

TEST(CpuBackend, FeaturesMatchTheArchitecture)
{
    EXPECT_STREQ(to_str(CpuBackend::SCALAR), "scalar");
    EXPECT_STREQ(to_str(CpuBackend::AVX2), "avx2");
    EXPECT_STREQ(to_str(CpuBackend::NEON), "neon");
#if defined(__x86_64__)
    EXPECT_FALSE(cpuHasNeon());
#elif defined(__aarch64__)
    EXPECT_TRUE(cpuHasNeon());
#endif
#if !defined(__x86_64__)
    EXPECT_FALSE(cpuHasAvx2());
    EXPECT_FALSE(cpuHasFma());
#endif
}

} // namespace
