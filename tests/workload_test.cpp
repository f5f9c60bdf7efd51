// SPDX-License-Identifier: MIT
// The workload's numbers, bit for bit: any change of rounding (a fused
// multiply-add, extended precision, a reordered sum) changes the bits.
#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstring>

#include "workload.h"

namespace {

uint64_t bits(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

#define EXPECT_BITS(actual, expected)                                                              \
    EXPECT_EQ(bits(actual), bits(expected))                                                        \
        << #actual << " = " << std::hexfloat << (actual) << ", expected " << (expected)

void set_constants()
{
    T = 0.499975;
    T1 = 0.50025;
    T2 = 2.0;
}

void set_E1(double e0, double e1, double e2, double e3, double e4)
{
    E1[0] = e0;
    E1[1] = e1;
    E1[2] = e2;
    E1[3] = e3;
    E1[4] = e4;
}

TEST(PA, SixRoundsFromTheStartValues)
{
    set_constants();
    set_E1(42.0, 1.0, -1.0, -1.0, -1.0);
    J = 99;
    PA(E1);
    EXPECT_EQ(J, 6);
    EXPECT_BITS(E1[1], -0.06658697268119287);
    EXPECT_BITS(E1[2], -0.4665483169510746);
    EXPECT_BITS(E1[3], -0.7331950463876911);
    EXPECT_BITS(E1[4], -1.1331816013678977);
    EXPECT_BITS(E1[0], 42.0);
}

TEST(P3, CombinesItsArgumentsIntoOut)
{
    set_constants();
    double A = 1.0, B = 1.0;
    volatile double OUT = 0.0;
    P3(A, B, OUT);
    EXPECT_BITS(OUT, 0.999937500625);
}

TEST(P0, AlternatesBetweenTwoStatesAndTouchesOnlyThree)
{
    J = 1;
    K = 2;
    L = 3;
    set_E1(-7.0, 1.0, 2.0, 3.0, -9.0);
    const double states[2][3] = {{2.0, 3.0, 2.0}, {3.0, 2.0, 3.0}};
    for (int call = 0; call < 6; ++call) {
        P0();
        const double *want = states[call % 2];
        EXPECT_BITS(E1[1], want[0]) << "after call " << call + 1;
        EXPECT_BITS(E1[2], want[1]) << "after call " << call + 1;
        EXPECT_BITS(E1[3], want[2]) << "after call " << call + 1;
    }
    EXPECT_BITS(E1[0], -7.0);
    EXPECT_BITS(E1[4], -9.0);
    EXPECT_EQ(J, 1);
    EXPECT_EQ(K, 2);
    EXPECT_EQ(L, 3);
}

TEST(SectionCount, MultiplesOfTheLoopCountWithoutOverflow)
{
    const int64_t one[11] = {0, 0, 12, 14, 345, 210, 32, 899, 616, 0, 93};
    const int64_t five_thousand[11] = {0,      0,       60000,   70000, 1725000, 1050000,
                                       160000, 4495000, 3080000, 0,     465000};
    int64_t sum = 0;
    for (int s = 1; s <= 10; ++s) {
        EXPECT_EQ(section_count(s, 1), one[s]) << "section " << s;
        EXPECT_EQ(section_count(s, 5000), five_thousand[s]) << "section " << s;
        sum += section_count(s, 1);
    }
    EXPECT_EQ(sum, 2221);
    // Past 2,388,747 loops a 32-bit count would wrap; these must not.
    EXPECT_EQ(section_count(7, INT32_MAX), INT64_C(1930587798653));
    EXPECT_EQ(section_count(4, INT32_MAX), INT64_C(740881858215));
    EXPECT_EQ(section_count(2, 2388748), INT64_C(28664976));
}

// Section 2 worked out on plain doubles, as a check of the pass's own:
// N repetitions from (1, -1, -1, -1), all four steps multiplying by T.
void section2_reference(int n, double e[5])
{
    const double t = 0.499975;
    e[1] = 1.0;
    e[2] = -1.0;
    e[3] = -1.0;
    e[4] = -1.0;
    for (int i = 0; i < n; ++i) {
        e[1] = (((e[1] + e[2]) + e[3]) - e[4]) * t;
        e[2] = (((e[1] + e[2]) - e[3]) + e[4]) * t;
        e[3] = (((e[1] - e[2]) + e[3]) + e[4]) * t;
        e[4] = (((e[2] - e[1]) + e[3]) + e[4]) * t;
    }
}

TEST(Section2Reference, MatchesTheKnownValues)
{
    double e[5];
    section2_reference(1, e);
    EXPECT_BITS(e[1], 0.0);
    EXPECT_BITS(e[2], -0.499975);
    EXPECT_BITS(e[3], -0.749974999375);
    EXPECT_BITS(e[4], -1.1249187509375156);
    section2_reference(12, e);
    EXPECT_BITS(e[1], -0.06682108153759841);
    EXPECT_BITS(e[2], -0.4662713010907264);
    EXPECT_BITS(e[3], -0.7329765200218058);
    EXPECT_BITS(e[4], -1.1323916609285205);
}

// E1[4] after PA_CALLS calls of PA on what REPETITIONS of section 2 left.
double E1_4_after(int32_t repetitions, int32_t PA_calls)
{
    double e[5];
    section2_reference(repetitions, e);
    set_E1(0.0, e[1], e[2], e[3], e[4]);
    for (int32_t i = 0; i < PA_calls; ++i) {
        PA(E1);
    }
    return E1[4];
}

// E1[4] after a pass: sections 2 and 3 run 12 and 14 times per loop. It
// differs for every count tried, so it pins down both sections' counts
// and arithmetic.
double expected_E1_4(int32_t LOOP)
{
    return E1_4_after(12 * LOOP, 14 * LOOP);
}

class Pass : public ::testing::TestWithParam<int32_t> {};

TEST_P(Pass, LeavesTheKnownEndState)
{
    const int32_t LOOP = GetParam();
    set_constants();
    const double want_E1_4 = expected_E1_4(LOOP);
    set_E1(5.5, 0.0, 0.0, 0.0, 0.0);
    J = K = L = -1;
    timed_pass(LOOP);
    EXPECT_EQ(J, 2); // section 9's initial values: its body never runs
    EXPECT_EQ(K, 3);
    EXPECT_EQ(L, 3); // what section 8 set
    // Section 8's count is always even: P0 leaves its second state.
    EXPECT_BITS(E1[1], 3.0);
    EXPECT_BITS(E1[2], 2.0);
    EXPECT_BITS(E1[3], 3.0);
    EXPECT_BITS(E1[4], want_E1_4);
    EXPECT_BITS(E1[0], 5.5);
    // The constants are the driver's: the pass only reads them.
    EXPECT_BITS(T, 0.499975);
    EXPECT_BITS(T1, 0.50025);
    EXPECT_BITS(T2, 2.0);
}

// Odd and even loop counts; small, since the pass runs for real.
INSTANTIATE_TEST_SUITE_P(OddAndEvenLoops, Pass, ::testing::Values(1, 2, 3, 10));

TEST(Pass, EndStateDependsOnTheCounts)
{
    // A check of the check: one PA call more or less, or one section-2
    // repetition more, would give another E1[4].
    set_constants();
    const double one = expected_E1_4(1);
    EXPECT_NE(bits(E1_4_after(13, 14)), bits(one));
    EXPECT_NE(bits(E1_4_after(12, 13)), bits(one));
}

// The subnormal edge: the last loop count below it computes with normal
// numbers only, and from it on the pass underflows. Each side runs one
// real pass of about 330,000 loops, a minute under emulation: as two
// tests, the two sides run in parallel.
class Edge : public ::testing::TestWithParam<int32_t> {};

TEST_P(Edge, UnderflowsFromTheSubnormalEdgeOn)
{
    const int32_t LOOP = GetParam();
    set_constants();
    std::feclearexcept(FE_ALL_EXCEPT);
    timed_pass(LOOP);
    const bool raised = std::fetestexcept(FE_UNDERFLOW) != 0;
    EXPECT_EQ(raised, LOOP >= SUBNORMAL_LOOP) << "LOOP " << LOOP;
}

INSTANTIATE_TEST_SUITE_P(Sides, Edge, ::testing::Values(SUBNORMAL_LOOP - 1, SUBNORMAL_LOOP));

} // namespace
