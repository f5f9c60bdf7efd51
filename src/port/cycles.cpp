// SPDX-License-Identifier: MIT
// The core's cycle counter (port.h), whatever the board: on a Cortex-M,
// the DWT's CYCCNT where it counts, else SysTick; on RISC-V, mcycle. Each
// is checked to count before it is used: qemu's Cortex-M boards model no
// DWT (its registers read 0), and a core may leave a counter off.
#include "port.h"

namespace {

// Whether READ's count moves within some thousands of reads: a
// millisecond at most on a core, and under qemu time enough for a timer
// to take its first value, which qemu gives it some microseconds late.
template <typename Count> bool counts(Count (*read)())
{
    const Count first = read();
    for (int i = 0; i < 100000; ++i) {
        if (read() != first) {
            return true;
        }
    }
    return false;
}

} // namespace

#if defined(__arm__)

namespace {

// A register of the core's private peripheral bus, by its address.
volatile uint32_t &reg(uintptr_t address)
{
    return *reinterpret_cast<volatile uint32_t *>(address); // NOLINT(performance-no-int-to-ptr)
}

// SysTick: a 24-bit down-counter that reloads from SYST_RVR and raises its
// exception as it does. Enabled with its interrupt, on the processor clock.
const uintptr_t SYST_CSR = 0xE000E010, SYST_RVR = 0xE000E014, SYST_CVR = 0xE000E018;
const uint32_t SYSTICK_ON = 0x7; // ENABLE, TICKINT, CLKSOURCE
const uint32_t SYSTICK_TOP = 0xFFFFFF;
// The DWT's cycle counter, 32 bits: powered by DEMCR.TRCENA, started by
// DWT_CTRL.CYCCNTENA, absent where DWT_CTRL.NOCYCCNT is set; on cores
// with the software lock (the Cortex-M7), writable once DWT_LAR is given
// the key.
const uintptr_t DEMCR = 0xE000EDFC;
const uintptr_t DWT_CTRL = 0xE0001000, DWT_CYCCNT = 0xE0001004, DWT_LAR = 0xE0001FB0;
const uint32_t TRCENA = 1u << 24, CYCCNTENA = 1u << 0, NOCYCCNT = 1u << 25;
const uint32_t DWT_KEY = 0xC5ACCE55;

uint32_t read_dwt()
{
    return reg(DWT_CYCCNT);
}

// SysTick's count since its last reload, counting up.
uint32_t read_systick()
{
    return SYSTICK_TOP - reg(SYST_CVR);
}

// The counter in use (none: null), its width, and the count widened to
// 64 bits: the wraps seen so far, and the last raw count read.
uint32_t (*raw)() = nullptr;
int width = 0;
uint64_t wrapped = 0;
uint32_t last = 0;

// The count, widened: a raw count below the last one read has wrapped
// once since. Called with interrupts off, and at least once per wrap:
// SysTick's exception calls it every 2^24 cycles, a quarter of a second
// at 64 MHz, far more often than the DWT's 2^32 wrap.
uint64_t widen()
{
    const uint32_t now = raw();
    if (now < last) {
        wrapped += uint64_t(1) << width;
    }
    last = now;
    return wrapped + now;
}

} // namespace

// SysTick's exception, by the name picolibc's vector table gives it.
extern "C" void arm_systick_isr()
{
    if (raw) {
        widen();
    }
}

bool port_cycles_start(PortCounter &counter)
{
    reg(SYST_CSR) = 0;
    reg(SYST_RVR) = SYSTICK_TOP;
    reg(SYST_CVR) = 0;
    reg(SYST_CSR) = SYSTICK_ON;
    if ((reg(DWT_CTRL) & NOCYCCNT) == 0) {
        reg(DEMCR) = reg(DEMCR) | TRCENA;
        reg(DWT_LAR) = DWT_KEY;
        reg(DWT_CYCCNT) = 0;
        reg(DWT_CTRL) = reg(DWT_CTRL) | CYCCNTENA;
    }
    if (counts(read_dwt)) {
        counter = {"DWT CYCCNT", 32};
        raw = read_dwt;
    } else if (counts(read_systick)) {
        counter = {"SysTick", 24};
        raw = read_systick;
    } else {
        reg(SYST_CSR) = 0;
        return false;
    }
    width = counter.bits;
    last = raw();
    asm volatile("cpsie i" ::: "memory");
    return true;
}

uint64_t port_cycles()
{
    uint32_t mask;
    asm volatile("mrs %0, primask" : "=r"(mask));
    asm volatile("cpsid i" ::: "memory");
    const uint64_t count = raw ? widen() : 0;
    asm volatile("msr primask, %0" : : "r"(mask) : "memory");
    return count;
}

#elif defined(__riscv) && __riscv_xlen == 32

namespace {

bool counting = false;

uint32_t mcycleh()
{
    uint32_t value;
    asm volatile("csrr %0, mcycleh" : "=r"(value));
    return value;
}

uint32_t mcycle()
{
    uint32_t value;
    asm volatile("csrr %0, mcycle" : "=r"(value));
    return value;
}

// mcycle in its two halves: the high half read again after the low, and
// the pair read again when the low half carried into it meanwhile.
uint64_t read_mcycle()
{
    uint32_t high, low, again;
    do {
        high = mcycleh();
        low = mcycle();
        again = mcycleh();
    } while (high != again);
    return (uint64_t(high) << 32) | low;
}

} // namespace

bool port_cycles_start(PortCounter &counter)
{
    counting = counts(read_mcycle);
    if (counting) {
        counter = {"mcycle", 64};
    }
    return counting;
}

uint64_t port_cycles()
{
    return counting ? read_mcycle() : 0;
}

#else
#error "cycles.cpp reads the cycle counter of a Cortex-M or a 32-bit RISC-V core only"
#endif
