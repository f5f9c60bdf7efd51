// SPDX-License-Identifier: MIT
// zarvek-cycles: the timed pass once on a board, the core's cycle counter
// (port_cycles, port.h) read at each section mark and around the pass.
// Prints the cycles per unit of loop count of each section and of the
// whole pass, and the rating per MHz: benchmark instructions per cycle,
// which is MIPS per MHz of the core clock. Then the same as one JSON
// object on a line of its own.
//   zarvek-cycles [--mhz F] [loops]
// Exit status: 0 after the pass, counter or not; 1 when the output could
// not be written; 2 after a bad argument.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "driver.h"
#include "port.h"
#include "sections.h"
#include "workload.h"

// The command line to run when the debugger gives none.
#ifndef ZARVEK_CYCLES_COMMAND_LINE
#define ZARVEK_CYCLES_COMMAND_LINE "zarvek-cycles"
#endif
static_assert(sizeof ZARVEK_CYCLES_COMMAND_LINE <= COMMAND_LINE_SIZE,
              "ZARVEK_CYCLES_COMMAND_LINE is too long");

// The core clock in MHz when the build gives it (ZARVEK_CORE_MHZ), for the
// rating when --mhz gives none; 0 when unknown.
#ifndef ZARVEK_CORE_MHZ
#define ZARVEK_CORE_MHZ 0
#endif

uint64_t SECTION_CYCLES[12];

#ifdef PORT_HAS_CYCLES
static const char NO_COUNTER[] = "no cycle counter counts on this core";
#else
// A port without a cycle counter: none counts.
static const char NO_COUNTER[] = "this board's port has no cycle counter (port.h)";
bool port_cycles_start(PortCounter &)
{
    return false;
}
uint64_t port_cycles()
{
    return 0;
}
#endif

namespace {

// Small enough for a board: a second or two at a few hundred MHz.
const int32_t DEFAULT_LOOP = 1000;

// Reads of the counter timed back to back for the cost of one.
const int READ_PAIRS = 16;

struct Settings {
    int32_t loops = DEFAULT_LOOP;
    double mhz = ZARVEK_CORE_MHZ; // the core clock; 0 when unknown
    bool help = false;
    const char *wrong = nullptr; // what is wrong with the command line
    const char *value = nullptr; // ... and the argument it is about
};

// A loop count: a whole decimal number from 1 to INT32_MAX, nothing else.
bool read_loops(const char *text, int32_t *loops)
{
    int64_t value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || (value = value * 10 + (*p - '0')) > INT32_MAX) {
            return false;
        }
    }
    *loops = static_cast<int32_t>(value);
    return *text != '\0' && value > 0;
}

// A clock in MHz: a finite number above 0, nothing else.
bool read_mhz(const char *text, double *mhz)
{
    char *end = nullptr;
    *mhz = strtod(text, &end);
    return end != text && *end == '\0' && isfinite(*mhz) && *mhz > 0;
}

// The arguments after the program's name, whatever it is called.
Settings read_settings(int argc, char **argv)
{
    Settings settings;
    bool counted = false;
    for (int i = 1; i < argc && !settings.wrong; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            settings.help = true;
        } else if (strncmp(arg, "--mhz", 5) == 0 && (arg[5] == '\0' || arg[5] == '=')) {
            settings.value = arg[5] == '=' ? arg + 6 : i + 1 < argc ? argv[++i] : "";
            if (!read_mhz(settings.value, &settings.mhz)) {
                settings.wrong = "--mhz takes the core clock in MHz, a number above 0, not";
            }
        } else if (arg[0] == '-' && (arg[1] < '0' || arg[1] > '9')) {
            settings.wrong = "no such option:";
            settings.value = arg;
        } else if (counted) {
            settings.wrong = "one loop count at most, not also";
            settings.value = arg;
        } else if (!read_loops(arg, &settings.loops)) {
            settings.wrong = "the loop count is a whole number from 1 to 2147483647, not";
            settings.value = arg;
        }
        counted = counted || arg[0] != '-';
    }
    return settings;
}

// The least count between two reads of the counter made back to back:
// what one read costs, which every section's count holds once.
uint64_t read_cost()
{
    uint64_t least = UINT64_MAX;
    for (int i = 0; i < READ_PAIRS; ++i) {
        const uint64_t first = port_cycles();
        const uint64_t second = port_cycles();
        if (second - first < least) {
            least = second - first;
        }
    }
    return least;
}

// What the pass took, in cycles per unit of loop count: each section, from
// the read at its start to the read at the next; and the whole pass, from
// the read before the call to the read after it.
struct Profile {
    double section[11]; // index 0 unused
    double sum, pass;
};

Profile profile(int32_t loops, uint64_t before, uint64_t after)
{
    Profile p = {};
    for (int S = 1; S <= 10; ++S) {
        p.section[S] = static_cast<double>(SECTION_CYCLES[S + 1] - SECTION_CYCLES[S]) / loops;
        p.sum += p.section[S];
    }
    p.pass = static_cast<double>(after - before) / loops;
    return p;
}

void print_table(const Profile &p)
{
    printf("\n  %-41s %11s %7s\n", "section", "cycles/loop", "share");
    for (int S = 1; S <= 10; ++S) {
        printf("  %2d  %-37s %11.1f %5.1f %%\n", S, SECTION_NAME[S], p.section[S],
               p.sum > 0 ? 100 * p.section[S] / p.sum : 0.0);
    }
    printf("      %-37s %11.1f %5.1f %%\n", "the ten sections", p.sum, 100.0);
    printf("      %-37s %11.1f\n\n", "the whole pass", p.pass);
}

// A JSON number, or null for a VALUE not KNOWN.
void number(bool known, double value)
{
    if (known) {
        printf("%.10g", value);
    } else {
        fputs("null", stdout);
    }
}

void field(const char *key, bool known, double value)
{
    printf(", \"%s\": ", key);
    number(known, value);
}

// The JSON line; without a COUNTER, nulls for the counts.
void print_json(const Settings &settings, const PortCounter *counter, uint64_t read,
                const Profile &p)
{
    printf("{\"loops\": %ld", static_cast<long>(settings.loops));
    if (counter) {
        printf(", \"counter\": \"%s\"", counter->name);
    } else {
        printf(", \"counter\": null");
    }
    field("counter_bits", counter, counter ? counter->bits : 0);
    field("read_cycles", counter, static_cast<double>(read));
    field("pass_cycles", counter, p.pass);
    printf(", \"sections\": {");
    for (int S = 1; S <= 10; ++S) {
        printf("%s\"%d\": ", S > 1 ? ", " : "", S);
        number(counter, p.section[S]);
    }
    printf("}");
    const double per_mhz = counter ? INSTRUCTIONS_PER_LOOP / p.pass : 0;
    field("mips_per_mhz", counter, per_mhz);
    field("mhz", settings.mhz > 0, settings.mhz);
    field("mips", counter && settings.mhz > 0, per_mhz * settings.mhz);
    printf("}\n");
}

int run(const Settings &settings)
{
    const int32_t LOOP = settings.loops;
    PortCounter counter = {};
    const bool counting = port_cycles_start(counter);
    const uint64_t read = counting ? read_cost() : 0;
    assign_constants();
    const uint64_t before = port_cycles();
    timed_pass(LOOP);
    const uint64_t after = port_cycles();

    printf("zarvek-cycles: %ld loops, one pass", static_cast<long>(LOOP));
    // A counter that counted nothing over the whole pass is no counter.
    if (!counting || after == before) {
        printf("; %s, so no cycles and no rating per MHz\n", NO_COUNTER);
        print_json(settings, nullptr, 0, Profile());
        return 0;
    }
    const Profile p = profile(LOOP, before, after);
    printf(", counted by %s (%d bits%s)\n", counter.name, counter.bits,
           counter.bits < 64 ? ", its wraps counted" : "");
    printf("One read of the counter: %.0f cycles, which each section's count holds once\n",
           static_cast<double>(read));
    print_table(p);
    const double per_mhz = INSTRUCTIONS_PER_LOOP / p.pass;
    printf("Rating per MHz: %.4f MIPS/MHz (%ld benchmark instructions per loop unit in %.1f "
           "cycles)\n",
           per_mhz, static_cast<long>(INSTRUCTIONS_PER_LOOP), p.pass);
    if (settings.mhz > 0) {
        printf("At %g MHz: %.1f MIPS\n", settings.mhz, per_mhz * settings.mhz);
    }
    print_json(settings, &counter, read, p);
    return 0;
}

} // namespace

int main()
{
    char **argv = nullptr;
    const int argc = open_console("zarvek-cycles", ZARVEK_CYCLES_COMMAND_LINE, 2, &argv);
    const Settings settings = read_settings(argc, argv);
    int status = 0;
    if (settings.help) {
        printf("usage: zarvek-cycles [--mhz F] [loops]\n"
               "  loops     the loop count of the one pass (default %ld)\n"
               "  --mhz F   the core clock in MHz, for the rating in MIPS\n",
               static_cast<long>(DEFAULT_LOOP));
    } else if (settings.wrong) {
        fprintf(stderr, "zarvek-cycles: %s '%s'\n", settings.wrong, settings.value);
        status = 2;
    } else {
        status = run(settings);
    }
    // Output that could not be written is a failure, as for zarvek.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zarvek-cycles: cannot write standard output\n");
        status = 1;
    }
    fflush(stderr);
    port_exit(status);
}
