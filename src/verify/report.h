// SPDX-License-Identifier: MIT
// zarvek-verify's report, from a judgement made: the table and the
// verdict for a person, and the same as JSON.
#ifndef ZARVEK_VERIFY_REPORT_H
#define ZARVEK_VERIFY_REPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "verdict.h"

struct Report {
    std::string path;   // the binary judged
    std::string binary; // what it is (the Binary line)
    std::string method; // how it was traced (the Method line)
    std::string kind;   // the method's name: lackey, plugin or exec-log
    std::vector<Row> rows;
    std::vector<std::string> commands; // what produced the figures, to run again

    // Every row holds.
    bool faithful() const;
};

void print_report(FILE *out, const Report &report);

nlohmann::ordered_json report_json(const Report &report);

#endif
