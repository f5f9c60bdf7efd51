// SPDX-License-Identifier: MIT
// The fleet's figures from the copies' timings, and their two forms: a
// table for a person and JSON for a script.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "workload.h"

namespace {

// The rate of COUNT copies' work done in SECONDS, in MIPS.
double rate(size_t count, int32_t loops, double seconds)
{
    return static_cast<double>(count) * INSTRUCTIONS_PER_LOOP * loops / seconds / 1e6;
}

// The median over repetitions of the group's work over its slowest time.
double group_rate(const std::vector<Copy> &copies, const std::vector<size_t> &members,
                  size_t repetitions, int32_t loops)
{
    std::vector<double> rates(repetitions);
    for (size_t r = 0; r < repetitions; ++r) {
        double slowest = 0;
        for (const size_t i : members) {
            slowest = std::max(slowest, copies[i].seconds[r]);
        }
        rates[r] = rate(members.size(), loops, slowest);
    }
    return median(rates);
}

double percent_from(double value, double reference)
{
    return (value - reference) / reference * 100;
}

} // namespace

Report compute_report(std::vector<Copy> copies, int32_t loops, double threshold)
{
    Report report;
    report.loops = loops;
    report.threshold = threshold;
    report.repetitions = copies.empty() ? 0 : copies.front().seconds.size();
    // Gathered copies come in rank order already; the work here stays
    // linear in copies x repetitions.
    const auto by_rank = [](const Copy &a, const Copy &b) { return a.rank < b.rank; };
    if (!std::is_sorted(copies.begin(), copies.end(), by_rank)) {
        std::sort(copies.begin(), copies.end(), by_rank);
    }
    report.copies = std::move(copies);

    std::vector<size_t> everyone;
    std::vector<double> medians;
    std::unordered_map<std::string, size_t> host_index;
    for (size_t i = 0; i < report.copies.size(); ++i) {
        Copy &copy = report.copies[i];
        copy.rates.clear();
        for (const double s : copy.seconds) {
            copy.rates.push_back(rate(1, loops, s));
        }
        copy.median = median(copy.rates);
        report.subnormal = report.subnormal || copy.subnormal;
        medians.push_back(copy.median);
        everyone.push_back(i);
        const auto [at, added] = host_index.emplace(copy.host, report.hosts.size());
        if (added) {
            report.hosts.push_back(Host{});
            report.hosts.back().host = copy.host;
        }
        report.hosts[at->second].copies.push_back(i);
    }

    Fleet &fleet = report.fleet;
    fleet.hosts = report.hosts.size();
    fleet.copies = report.copies.size();
    if (fleet.copies == 0) {
        return report;
    }
    fleet.rate = group_rate(report.copies, everyone, report.repetitions, loops);
    fleet.median = median(medians);
    fleet.slowest = *std::min_element(medians.begin(), medians.end());
    fleet.fastest = *std::max_element(medians.begin(), medians.end());
    fleet.spread = (fleet.fastest - fleet.slowest) / fleet.median * 100;

    // More than THRESHOLD percent below the median copy is flagged.
    const double limit = fleet.median * (1 - threshold / 100);
    for (Copy &copy : report.copies) {
        copy.flagged = copy.median < limit;
        report.flagged_copies += copy.flagged ? 1 : 0;
    }
    for (Host &host : report.hosts) {
        host.rate = group_rate(report.copies, host.copies, report.repetitions, loops);
        std::vector<double> host_medians;
        host.slowest = INFINITY;
        for (const size_t i : host.copies) {
            const Copy &copy = report.copies[i];
            host_medians.push_back(copy.median);
            if (copy.median < host.slowest) {
                host.slowest = copy.median;
                host.slowest_rank = copy.rank;
            }
        }
        host.median = median(host_medians);
        host.flagged = host.median < limit;
        report.flagged_hosts += host.flagged ? 1 : 0;
    }
    return report;
}

void attach_host_facts(Report &report, const std::vector<std::string> &facts)
{
    for (Host &host : report.hosts) {
        for (const size_t i : host.copies) {
            const size_t rank = static_cast<size_t>(report.copies[i].rank);
            if (rank < facts.size() && !facts[rank].empty()) {
                host.facts = nlohmann::ordered_json::parse(facts[rank], nullptr, false);
                break;
            }
        }
    }
}

namespace {

const char *plural(size_t n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

std::string cpu_text(const Copy &copy)
{
    if (copy.cpu < 0) {
        return "?";
    }
    std::string text = std::to_string(copy.cpu);
    if (copy.migrated) {
        text += copy.last_cpu >= 0 && copy.last_cpu != copy.cpu
                    ? " (moved, last on " + std::to_string(copy.last_cpu) + ")"
                    : " (moved)";
    }
    return text;
}

} // namespace

void print_report(FILE *out, const Report &report, const Context &context)
{
    const Fleet &fleet = report.fleet;
    std::fprintf(out, "zarvek-fleet: %zu %s on %zu %s, %zu %s of %d %s\n", fleet.copies,
                 plural(fleet.copies, "copy", "copies"), fleet.hosts,
                 plural(fleet.hosts, "host", "hosts"), report.repetitions,
                 plural(report.repetitions, "repetition", "repetitions"), report.loops,
                 plural(static_cast<size_t>(report.loops), "loop", "loops"));
    std::fprintf(out, "compiler: %s\nflags: %s\ntarget: %s\nMPI: %s\n", context.compiler.c_str(),
                 context.flags.c_str(), context.target.c_str(), context.mpi.c_str());

    int width = 4;
    for (const Host &host : report.hosts) {
        width = std::max(width, static_cast<int>(host.host.size()));
    }
    std::fprintf(out, "\nRates in MIPS (medians over the repetitions)\n");
    std::fprintf(out, "%-*s  %6s  %12s  %12s  %12s\n", width, "Host", "Copies", "Host rate",
                 "Median copy", "Slowest copy");
    for (const Host &host : report.hosts) {
        std::fprintf(out, "%-*s  %6zu  %12.1f  %12.1f  %12.1f  rank %d\n", width, host.host.c_str(),
                     host.copies.size(), host.rate, host.median, host.slowest, host.slowest_rank);
    }

    std::fprintf(out, "\nFleet: %zu %s, %zu %s: %.1f MIPS\n", fleet.hosts,
                 plural(fleet.hosts, "host", "hosts"), fleet.copies,
                 plural(fleet.copies, "copy", "copies"), fleet.rate);
    std::fprintf(out, "Median copy: %.1f MIPS, spread %.1f %% (slowest %.1f, fastest %.1f)\n",
                 fleet.median, fleet.spread, fleet.slowest, fleet.fastest);

    // Copies that ran on more than one CPU: a person should know, as the
    // figure then mixes two CPUs (the ranks were not bound to cores).
    size_t moved = 0;
    for (const Copy &copy : report.copies) {
        moved += copy.migrated ? 1 : 0;
    }
    if (moved > 0) {
        std::fprintf(out, "Moved between CPUs: %zu %s (bind the ranks to cores to prevent it)\n",
                     moved, plural(moved, "copy", "copies"));
    }

    std::fprintf(out, "\nOutliers: more than %g %% below the median copy (%.1f MIPS)",
                 report.threshold, fleet.median * (1 - report.threshold / 100));
    if (report.flagged_copies + report.flagged_hosts == 0) {
        std::fprintf(out, ": no outliers\n");
        return;
    }
    std::fprintf(out, "\n");
    for (const Host &host : report.hosts) {
        if (host.flagged) {
            std::fprintf(out, "  host %s: median copy %.1f MIPS, %+.1f %%\n", host.host.c_str(),
                         host.median, percent_from(host.median, fleet.median));
        }
    }
    for (const Copy &copy : report.copies) {
        if (copy.flagged) {
            std::fprintf(out, "  copy on %s, rank %d, cpu %s: %.1f MIPS, %+.1f %%\n",
                         copy.host.c_str(), copy.rank, cpu_text(copy).c_str(), copy.median,
                         percent_from(copy.median, fleet.median));
        }
    }
}

nlohmann::ordered_json report_json(const Report &report, const Context &context)
{
    using json = nlohmann::ordered_json;
    json copies = json::array();
    for (const Copy &copy : report.copies) {
        copies.push_back({{"host", copy.host},
                          {"rank", copy.rank},
                          {"cpu", copy.cpu >= 0 ? json(copy.cpu) : json(nullptr)},
                          {"migrated", copy.migrated},
                          {"rates", copy.rates},
                          {"median", copy.median},
                          {"flagged", copy.flagged}});
    }
    json hosts = json::array();
    for (const Host &host : report.hosts) {
        json entry = {{"host", host.host},       {"copies", host.copies.size()},
                      {"rate", host.rate},       {"median", host.median},
                      {"slowest", host.slowest}, {"flagged", host.flagged}};
        for (const char *key : {"date", "machine", "zarvek_fleet_sha256"}) {
            entry[key] = host.facts.is_object() ? host.facts.value(key, json()) : json();
        }
        hosts.push_back(std::move(entry));
    }
    const Fleet &fleet = report.fleet;
    return {{"unit", "MIPS"},
            {"loops", report.loops},
            {"repetitions", report.repetitions},
            {"threshold", report.threshold},
            {"subnormal", report.subnormal},
            {"copies", std::move(copies)},
            {"hosts", std::move(hosts)},
            {"fleet",
             {{"hosts", fleet.hosts},
              {"copies", fleet.copies},
              {"rate", fleet.rate},
              {"median", fleet.median},
              {"spread", fleet.spread},
              {"slowest", fleet.slowest},
              {"fastest", fleet.fastest}}},
            {"context",
             {{"compiler", context.compiler},
              {"flags", context.flags},
              {"target", context.target},
              {"mpi", context.mpi}}}};
}
