// SPDX-License-Identifier: MIT
// The workload's process-wide state. Zero at start; T, T1 and T2 are
// assigned by the driver before every measurement.
#include "workload.h"

volatile int32_t J, K, L;
volatile double T, T1, T2;
volatile double E1[5];
