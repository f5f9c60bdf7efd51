// SPDX-License-Identifier: MIT
// The fleet's report, computed from the copies' timings with no MPI in
// sight: each copy's rates and median, the hosts' figures, the fleet's
// figures and the outliers; then printed for a person or as JSON.
#ifndef ZARVEK_FLEET_REPORT_H
#define ZARVEK_FLEET_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "median.h"

// One copy of the work (one rank): where it ran and how long each
// repetition's pass took; compute_report fills in the rest.
struct Copy {
    std::string host;
    int rank = 0;
    int cpu = -1;      // the CPU at the first reading; -1 if unknown
    int last_cpu = -1; // the CPU at the last reading
    bool migrated = false;
    bool subnormal = false;      // a pass raised the underflow flag
    std::vector<double> seconds; // one pass per repetition

    std::vector<double> rates; // MIPS, one per repetition
    double median = 0;         // median of rates
    bool flagged = false;
};

struct Host {
    std::string host;
    std::vector<size_t> copies; // indices into Report::copies, by rank
    double rate = 0;            // median over repetitions of its copies' work / its slowest time
    double median = 0;          // its median copy's rate
    double slowest = 0;         // its slowest copy's rate
    int slowest_rank = 0;
    bool flagged = false;
    nlohmann::ordered_json facts; // host_facts() of one of its ranks; null if none came
};

struct Fleet {
    size_t hosts = 0;
    size_t copies = 0;
    double rate = 0;   // median over repetitions of all copies' work / the slowest time
    double median = 0; // the median copy's rate
    double slowest = 0;
    double fastest = 0;
    double spread = 0; // (fastest - slowest) / median, in percent
};

struct Report {
    int32_t loops = 0;
    size_t repetitions = 0;
    double threshold = 0;   // percent below the median copy that flags
    bool subnormal = false; // any copy's passes computed with subnormal numbers
    std::vector<Copy> copies;
    std::vector<Host> hosts; // in order of their first rank
    Fleet fleet;
    size_t flagged_copies = 0;
    size_t flagged_hosts = 0;
};

// The build and library a report names.
struct Context {
    std::string compiler;
    std::string flags;
    std::string target;
    std::string mpi;
};

// The report for COPIES, each with LOOPS and the same number of
// repetitions (at least one), every time positive.
Report compute_report(std::vector<Copy> copies, int32_t loops, double threshold);

// The exit status the report gives: 1 if anything is flagged, else 0.
inline int report_status(const Report &report)
{
    return report.flagged_copies + report.flagged_hosts > 0 ? 1 : 0;
}

// Gives each host the facts of its first rank that sent some: FACTS
// holds one host_facts() object as JSON text per rank, by rank, empty for
// a rank that sent none.
void attach_host_facts(Report &report, const std::vector<std::string> &facts);

void print_report(FILE *out, const Report &report, const Context &context);

nlohmann::ordered_json report_json(const Report &report, const Context &context);

#endif
