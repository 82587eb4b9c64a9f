// The simulated dongle's resend choice from acknowledgement bitmaps, and its
// fragment pacing.
#include <gtest/gtest.h>

#include "dongle_sim/sim_resend.h"

namespace {

struct Window {
    uint64_t sent[64] = {};
    uint8_t resent[64] = {};
    explicit Window(uint64_t when) { for (auto &s : sent) s = when; }
};

TEST(SimResend, AHoleBelowTheHighestReceivedFragmentIsSentAgainAtOnce)
{
    Window w(1000);
    // 6 fragments, 0 1 _ 3 _ _ received: 2 is a hole; 4 and 5 may still be on their way.
    uint64_t pick = sim_select_resends(0x3F, 0x0B, w.sent, w.resent, 1001, 24000, 12000, 8);
    EXPECT_EQ(pick, 0x04u);
}

TEST(SimResend, FragmentsAboveTheHighestWaitUntilStale)
{
    Window w(1000);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, w.sent, w.resent, 1000 + 23999, 24000, 12000, 8), 0u);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, w.sent, w.resent, 1000 + 24000, 24000, 12000, 8), 0x30u);
}

TEST(SimResend, NothingReceivedMeansNoHolesOnlyStaleOnes)
{
    Window w(5000);
    EXPECT_EQ(sim_select_resends(0x7, 0, w.sent, w.resent, 5000, 100, 50, 8), 0u);
    EXPECT_EQ(sim_select_resends(0x7, 0, w.sent, w.resent, 5100, 100, 50, 8), 0x7u);
}

TEST(SimResend, AResentFragmentWaitsTheRegapAndGivesUpAfterTheLimit)
{
    Window w(0);
    w.sent[2] = 10000;
    w.resent[2] = 1;
    // Still a hole, but resent 5 us ago: wait for the regap.
    EXPECT_EQ(sim_select_resends(0xF, 0xB, w.sent, w.resent, 10005, 100, 50, 8), 0u);
    EXPECT_EQ(sim_select_resends(0xF, 0xB, w.sent, w.resent, 10050, 100, 50, 8), 0x4u);
    w.resent[2] = 8;
    EXPECT_EQ(sim_select_resends(0xF, 0xB, w.sent, w.resent, 99999, 100, 50, 8), 0u);
}

TEST(SimResend, OnlyExpectedFragmentsAreConsidered)
{
    Window w(0);
    // A bitmap claiming fragments beyond the window, or a complete window.
    EXPECT_EQ(sim_select_resends(0x3, 0xFFFFFFFFu, w.sent, w.resent, 1 << 30, 1, 1, 8), 0u);
    EXPECT_EQ(sim_select_resends(0x3, 0x4, w.sent, w.resent, 1 << 30, 1, 1, 8), 0x3u);
    // All 64 bits of a full protocol-1 style window.
    EXPECT_EQ(sim_select_resends(~0ull, 1ull << 63, w.sent, w.resent, 1, 1000, 1000, 8), ~0ull >> 1);
}

TEST(SimPacing, ASmallPictureGoesInOneBurst)
{
    unsigned gap = 123;
    unsigned burst = sim_pacing(3, 1216, 33333, &gap);
    EXPECT_GE(burst, 3u);
    EXPECT_EQ(gap, 0u);
}

TEST(SimPacing, ALargePictureIsSpreadOverAThirdOfTheFrameInterval)
{
    unsigned gap = 0;
    unsigned burst = sim_pacing(200, 1216, 33333, &gap);
    ASSERT_GE(burst, 1u);
    EXPECT_LE(burst * 1216, 65536u) << "a burst stays inside a default socket buffer";
    unsigned bursts = (200 + burst - 1) / burst;
    EXPECT_LE((bursts - 1) * gap, 33333u / 3 + 1000u);
    EXPECT_GE(gap, 100u);
}

TEST(SimPacing, HugeFragmentsStillAdvance)
{
    unsigned gap = 0;
    unsigned burst = sim_pacing(10, 49160, 16666, &gap);
    EXPECT_EQ(burst, 1u);
    EXPECT_GE(gap, 100u);
    EXPECT_LE(gap, 1000u);
}

}  // namespace
