// SPDX-License-Identifier: MIT
// The three work procedures that sections 3, 7 and 8 of the pass call.
// Every expression is evaluated in the grouping written; with volatile
// storage each operand is read from its variable and each result stored
// before the next step reads it.
#include "workload.h"

void PA(volatile double (&E)[5])
{
    J = 0;
    do {
        E[1] = (((E[1] + E[2]) + E[3]) - E[4]) * T;
        E[2] = (((E[1] + E[2]) - E[3]) + E[4]) * T;
        E[3] = (((E[1] - E[2]) + E[3]) + E[4]) * T;
        E[4] = (((E[2] - E[1]) + E[3]) + E[4]) / T2;
        J = J + 1;
    } while (J <= 5);
}

void P3(double A, double B, volatile double &OUT)
{
    // Working copies: the caller's values are not changed.
    volatile double X = A;
    volatile double Y = B;
    X = (X + Y) * T;
    Y = (X + Y) * T;
    OUT = (X + Y) / T2;
}

void P0()
{
    // The indices are read afresh at each step, and the third step reads
    // the element the first has just written.
    E1[J] = E1[K];
    E1[K] = E1[L];
    E1[L] = E1[J];
}
