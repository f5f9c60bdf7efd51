// SPDX-License-Identifier: MIT
#include "report.h"

#include <iterator>

bool Report::faithful() const
{
    for (const Row &row : rows) {
        if (!row.holds) {
            return false;
        }
    }
    return true;
}

namespace {

// What the holds column says of a row.
const char *holds(const Row &row)
{
    return !row.judged ? "not judged" : row.holds ? "yes" : "NO";
}

} // namespace

void print_report(FILE *out, const Report &report)
{
    std::fprintf(out,
                 "zarvek-verify: %s\nBinary: %s\nMethod: %s\nRuns: at %d, %d and %d loops; figures "
                 "are per unit of loop count\n",
                 report.path.c_str(), report.binary.c_str(), report.method.c_str(), LOOPS[0],
                 LOOPS[1], LOOPS[2]);
    std::string group;
    std::vector<const Row *> shortfalls;
    for (const Row &row : report.rows) {
        if (row.group != group) {
            group = row.group;
            std::fprintf(out, "\n%-44s %16s %16s  %s\n", group.c_str(), "specified", "measured",
                         "holds");
        }
        std::fprintf(out, "  %-42s %16s %16s  %s\n", row.item.c_str(), row.specified.c_str(),
                     row.measured.c_str(), holds(row));
        if (!row.holds) {
            shortfalls.push_back(&row);
        }
    }
    if (shortfalls.empty()) {
        std::fprintf(out, "\nVerdict: faithful: %s did exactly the benchmark's work.\n",
                     report.path.c_str());
    } else {
        std::fprintf(out, "\nVerdict: NOT faithful: %zu shortfall%s:\n", shortfalls.size(),
                     shortfalls.size() == 1 ? "" : "s");
        for (const Row *row : shortfalls) {
            std::fprintf(out, "  - %s, %s: specified %s, measured %s\n", row->group.c_str(),
                         row->item.c_str(), row->specified.c_str(), row->measured.c_str());
        }
    }
    std::fprintf(out, "\nCommands:\n");
    for (const std::string &c : report.commands) {
        std::fprintf(out, "  %s\n", c.c_str());
    }
}

nlohmann::ordered_json report_json(const Report &report)
{
    auto item = [](const Row &row) {
        return nlohmann::ordered_json{{"group", row.group},         {"item", row.item},
                                      {"specified", row.specified}, {"measured", row.measured},
                                      {"holds", row.holds},         {"judged", row.judged}};
    };
    nlohmann::ordered_json table = nlohmann::ordered_json::array();
    nlohmann::ordered_json missed = nlohmann::ordered_json::array();
    for (const Row &row : report.rows) {
        table.push_back(item(row));
        if (!row.holds) {
            missed.push_back(item(row));
        }
    }
    return {
        {"format", 1},
        {"faithful", report.faithful()},
        {"path", report.path},
        {"binary", report.binary},
        {"method", {{"kind", report.kind}, {"text", report.method}}},
        {"loops", std::vector<int>(std::begin(LOOPS), std::end(LOOPS))},
        {"rows", table},
        {"shortfalls", missed},
        {"commands", report.commands},
    };
}
