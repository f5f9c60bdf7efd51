// SPDX-License-Identifier: MIT
// The timed pass: ten sections, each a loop whose count is a fixed
// multiple of LOOP, run in order. Nothing it computes is used; only the
// time it takes matters, which is why every variable the sections read
// and write is volatile (see workload.h). The repetition index and the
// section counts are loop control, not the work, and live in registers.
// SECTION_BOUNDARY marks where each section starts and the last ends: in
// zarvek it is nothing; zarvek-bench's profiled pass reads the clock there
// (sections.h).
#include <math.h>

#include "sections.h"
#include "workload.h"

// Keeps an if-else a real conditional branch: an empty asm in each arm
// stops the compiler turning the test into a conditional move, a
// set-on-condition or predicated stores. Each arm's asm takes its own
// number, so that the arms stay different and the compiler cannot merge
// the two asms into one after the if-else and predicate what is left.
// It emits no instruction.
#define ARM(N) asm volatile("" ::"n"(N) : "memory")

namespace {
// Repetitions per unit of LOOP for sections 1 to 10; index 0 unused.
// Sections 1 and 9 make their initial assignments but never run a body.
const int64_t MULTIPLIER[11] = {0, 0, 12, 14, 345, 210, 32, 899, 616, 0, 93};
} // namespace

int64_t section_count(int S, int32_t LOOP)
{
    return MULTIPLIER[S] * static_cast<int64_t>(LOOP);
}

void timed_pass(int32_t LOOP)
{
    int64_t N1, N2, N3, N4, N5, N6, N7, N8, N9, N10;
    int64_t I; // the repetition index shared by all sections
    volatile double A1, A2, A3, A4, U, V, W;

    N1 = section_count(1, LOOP);
    N2 = section_count(2, LOOP);
    N3 = section_count(3, LOOP);
    N4 = section_count(4, LOOP);
    N5 = section_count(5, LOOP);
    N6 = section_count(6, LOOP);
    N7 = section_count(7, LOOP);
    N8 = section_count(8, LOOP);
    N9 = section_count(9, LOOP);
    N10 = section_count(10, LOOP);

    // 1: scalar updates.
    SECTION_BOUNDARY(1);
    A1 = 1.0;
    A2 = -1.0;
    A3 = -1.0;
    A4 = -1.0;
    for (I = 1; I <= N1; I = I + 1) {
        A1 = (((A1 + A2) + A3) - A4) * T;
        A2 = (((A1 + A2) - A3) + A4) * T;
        A3 = (((A1 - A2) + A3) + A4) * T;
        A4 = (((A2 - A1) + A3) + A4) * T;
    }

    // 2: the same updates on array elements.
    SECTION_BOUNDARY(2);
    E1[1] = 1.0;
    E1[2] = -1.0;
    E1[3] = -1.0;
    E1[4] = -1.0;
    for (I = 1; I <= N2; I = I + 1) {
        E1[1] = (((E1[1] + E1[2]) + E1[3]) - E1[4]) * T;
        E1[2] = (((E1[1] + E1[2]) - E1[3]) + E1[4]) * T;
        E1[3] = (((E1[1] - E1[2]) + E1[3]) + E1[4]) * T;
        E1[4] = (((E1[2] - E1[1]) + E1[3]) + E1[4]) * T;
    }

    // 3: the array passed to a procedure, on what section 2 left.
    SECTION_BOUNDARY(3);
    for (I = 1; I <= N3; I = I + 1) {
        PA(E1);
    }

    // 4: conditional branches.
    SECTION_BOUNDARY(4);
    J = 1;
    for (I = 1; I <= N4; I = I + 1) {
        if (J == 1) {
            J = 2;
            ARM(1);
        } else {
            J = 3;
            ARM(2);
        }
        if (J > 2) {
            J = 0;
            ARM(3);
        } else {
            J = 1;
            ARM(4);
        }
        if (J > 0) {
            J = 0;
            ARM(5);
        } else {
            J = 1;
            ARM(6);
        }
    }

    // 5: integer arithmetic with array stores.
    SECTION_BOUNDARY(5);
    J = 1;
    K = 2;
    L = 3;
    for (I = 1; I <= N5; I = I + 1) {
        J = ((K - J) * J) * (L - K);
        K = ((J - L) + L) * K;
        L = (L - K) * (K + J);
        E1[L - 1] = static_cast<double>((J + K) + L);
        E1[K - 1] = static_cast<double>((J * K) * L);
    }

    // 6: trigonometric functions. Each call is its own statement so the
    // calls happen in the order sin, cos, cos of the sum, cos of the
    // difference, atan, and nothing is shared between the two steps.
    SECTION_BOUNDARY(6);
    U = 0.5;
    V = 0.5;
    for (I = 1; I <= N6; I = I + 1) {
        double s = sin(U);
        double c = cos(U);
        double cs = cos(U + V);
        double cd = cos(U - V);
        U = atan(((s * T2) * c) / ((cs + cd) - 1.0)) * T;
        s = sin(V);
        c = cos(V);
        cs = cos(U + V);
        cd = cos(U - V);
        V = atan(((s * T2) * c) / ((cs + cd) - 1.0)) * T;
    }

    // 7: procedure calls with value and reference parameters.
    SECTION_BOUNDARY(7);
    U = 1.0;
    V = 1.0;
    W = 1.0;
    for (I = 1; I <= N7; I = I + 1) {
        P3(U, V, W);
    }

    // 8: array references through a procedure.
    SECTION_BOUNDARY(8);
    J = 1;
    K = 2;
    L = 3;
    E1[1] = 1.0;
    E1[2] = 2.0;
    E1[3] = 3.0;
    for (I = 1; I <= N8; I = I + 1) {
        P0();
    }

    // 9: integer arithmetic.
    SECTION_BOUNDARY(9);
    J = 2;
    K = 3;
    for (I = 1; I <= N9; I = I + 1) {
        J = J + K;
        K = J + K;
        J = K - J;
        K = (K - J) - J;
    }

    // 10: standard functions.
    SECTION_BOUNDARY(10);
    U = 0.75;
    for (I = 1; I <= N10; I = I + 1) {
        U = sqrt(exp(log(U) / T1));
    }
    SECTION_BOUNDARY(11);
}
