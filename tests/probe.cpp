// Runs one timed pass for the memory-trace test, after printing where the
// workload's globals live so the trace can be attributed to them. It links
// the same workload objects as zarvek.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "workload.h"

static uintptr_t address(const volatile void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

int main(int argc, char **argv)
{
    const int32_t LOOP = argc > 1 ? static_cast<int32_t>(std::atol(argv[1])) : 1;
    std::printf("J %" PRIxPTR " 4\nK %" PRIxPTR " 4\nL %" PRIxPTR " 4\n", address(&J), address(&K),
                address(&L));
    std::printf("T %" PRIxPTR " 8\nT1 %" PRIxPTR " 8\nT2 %" PRIxPTR " 8\n", address(&T),
                address(&T1), address(&T2));
    for (int i = 0; i < 5; ++i) {
        std::printf("E1[%d] %" PRIxPTR " 8\n", i, address(&E1[i]));
    }
    std::fflush(stdout);
    T = 0.499975;
    T1 = 0.50025;
    T2 = 2.0;
    timed_pass(LOOP);
    return 0;
}
