// SPDX-License-Identifier: MIT
// Each program's manual page against the program itself: every option the
// page's OPTIONS section documents is accepted, and every option the
// program's own help lists is documented. Google Benchmark's options are
// left to its documentation, to which zarvek-bench(1) points.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process.h"

namespace {

// A command of a program: its words (none, or a subcommand such as
// zarvek-report's run), and what ends its run before it measures when
// given after an option.
struct Command {
    std::vector<std::string> words, stop;
};

struct Program {
    const char *name;              // doc/NAME.1
    std::string path;              // empty where it is not built
    std::vector<std::string> help; // arguments that make a command list its options
    std::vector<Command> commands; // an option must be accepted by one of them
    int accepted_status;           // how such a run ends when the option is known
    std::string accepted_err;      // ... and what it writes on standard error
    std::string others;            // options documented elsewhere
};

// An option as a page documents it.
struct Option {
    std::string name;
    std::vector<std::string> choices; // empty: the option takes no value
    bool attached = false;            // given as --name=value
};

// Words of a groff macro line, quotes honoured and font escapes dropped.
std::vector<std::string> macro_words(std::string line)
{
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP]|\\c|\\&)"), "");
    line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    std::vector<std::string> words;
    const std::regex word(R"re("([^"]*)"|(\S+))re");
    // A macro's arguments, or a line of text.
    const size_t space = line.find_first_of(" \t");
    const std::string rest = line[0] != '.'               ? line
                             : space == std::string::npos ? ""
                                                          : line.substr(space);
    for (std::sregex_iterator it(rest.begin(), rest.end(), word), end; it != end; ++it) {
        words.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return words;
}

// The options of the OPTIONS section: the tag line after each .TP.
std::vector<Option> page_options(const std::string &page)
{
    std::ifstream in(page);
    std::vector<Option> options;
    bool in_options = false;
    bool tag = false;
    const std::regex option_word(R"(^(--?[A-Za-z][A-Za-z0-9_-]*)(=?)$)");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH", 0) == 0) {
            in_options = line.find("OPTIONS") != std::string::npos;
            continue;
        }
        if (!in_options) {
            continue;
        }
        if (line.rfind(".TP", 0) == 0) {
            tag = true;
            continue;
        }
        if (!tag) {
            continue;
        }
        tag = false;
        const std::vector<std::string> words = macro_words(line);
        for (size_t i = 0; i < words.size(); ++i) {
            std::smatch m;
            if (!std::regex_match(words[i], m, option_word)) {
                continue;
            }
            Option option{m[1], {}, m[2] == "="};
            // A value follows, unless the next word is a separator or
            // another option; choices are separated by "|".
            for (size_t j = i + 1; j < words.size(); j += 2) {
                std::string value = words[j];
                value.erase(0, value.find_first_not_of(' '));
                if (value.empty() || value[0] == ',' || value[0] == '-') {
                    break;
                }
                option.choices.push_back(value);
                if (j + 1 >= words.size() || words[j + 1] != "|") {
                    break;
                }
            }
            options.push_back(option);
        }
    }
    return options;
}

std::set<std::string> listed_options(const std::string &help)
{
    std::set<std::string> names;
    const std::regex option(R"((?:^|[\s\[,|])(--?[A-Za-z][A-Za-z0-9_-]*))");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
        names.insert((*it)[1]);
    }
    return names;
}

std::vector<Program> programs()
{
    return {
        {"zarvek", ZARVEK_BINARY, {"-x"}, {{{}, {"1"}}}, 1, "^$", ""},
        {"zarvek-verify", ZARVEK_VERIFY, {"--help"}, {{{}, {"--help"}}}, 0, "^$", ""},
        {"zarvek-bench",
         ZARVEK_BENCH,
         {"--help"},
         {{{}, {"--benchmark_list_tests=true"}}},
         0,
         "^$",
         "^--(benchmark_.*|v)$"},
        // Past its options, build folders that do not exist, or a saved run
        // that does not: a known option gives the program's own message, an
        // unknown one argparse's usage.
        {"zarvek-compare",
         ZARVEK_COMPARE,
         {"--help"},
         {{{}, {"/nonexistent/a", "/nonexistent/b"}}, {{}, {"--from", "/nonexistent/c.json"}}},
         2,
         "^zarvek-compare: (?!error:)",
         ""},
        {"zarvek-fleet", ZARVEK_FLEET, {"--help"}, {{{}, {"--help"}}}, 0, "^$", ""},
        // Its commands, each stopped by input that does not exist.
        {"zarvek-report",
         ZARVEK_REPORT,
         {"--help"},
         {{{"run"}, {"--build", "/nonexistent/build"}},
          {{"page"}, {"/nonexistent/r.json"}},
          {{"import"}, {"/nonexistent/r.json"}},
          {{"history"}, {"--db", "/nonexistent/results.db"}}},
         2,
         "^zarvek-report: (?!error:)",
         ""},
    };
}

void PrintTo(const Program &p, std::ostream *os)
{
    *os << p.name;
}

class Manual : public ::testing::TestWithParam<Program> {
protected:
    void SetUp() override
    {
        if (GetParam().path.empty()) {
            GTEST_SKIP() << GetParam().name << " is not built here";
        }
        // zarvek-fleet is an MPI job of one rank here; Open MPI's start-up
        // leaks what LeakSanitizer would report.
        // zarvek-report keeps what it imports in this folder's store, not
        // in the user's.
        if (std::string(GetParam().name) == "zarvek-report") {
            setenv("XDG_DATA_HOME", folder.path.c_str(), 1);
        }
        if (std::string(GetParam().name) == "zarvek-fleet") {
            const char *asan = std::getenv("ASAN_OPTIONS");
            setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        }
    }
    TempDir folder;
};

TEST_P(Manual, PageAndProgramHaveTheSameOptions)
{
    const Program &p = GetParam();
    const std::regex others(p.others.empty() ? "$^" : p.others);
    const std::vector<Option> documented = page_options(std::string(DOC_DIR) + p.name + ".1");
    ASSERT_FALSE(documented.empty()) << "no option found in " << p.name << ".1";

    std::set<std::string> names;
    for (const Option &option : documented) {
        names.insert(option.name);
        if (std::regex_match(option.name, others)) {
            continue;
        }
        if (option.name == "-h" || option.name == "--help" || option.name == "--version") {
            const ProcessResult r = run_process({p.path, option.name});
            EXPECT_EQ(r.status, 0) << option.name << ": " << r.err;
            EXPECT_NE(r.out, "") << option.name;
            continue;
        }
        std::vector<std::string> given;
        if (option.choices.empty()) {
            given.push_back(option.name);
        } else {
            // A value it takes: the first of its choices, an empty folder
            // for a folder, a fresh path in it for a file, else 1.
            const std::string &choice = option.choices[0];
            std::string value = "1";
            if (option.choices.size() > 1) {
                value = choice;
            } else if (std::regex_search(choice, std::regex("dir|folder"))) {
                value = folder.path;
            } else if (std::regex_search(choice, std::regex("file"))) {
                value = folder.path + "/value";
            }
            if (option.attached) {
                given.push_back(option.name + "=" + value);
            } else {
                given.push_back(option.name);
                given.push_back(value);
            }
        }
        std::string refusals;
        bool accepted = false;
        for (const Command &command : p.commands) {
            std::vector<std::string> argv = {p.path};
            argv.insert(argv.end(), command.words.begin(), command.words.end());
            argv.insert(argv.end(), given.begin(), given.end());
            argv.insert(argv.end(), command.stop.begin(), command.stop.end());
            const ProcessResult r = run_process(argv);
            accepted = accepted || (r.status == p.accepted_status &&
                                    std::regex_search(r.err, std::regex(p.accepted_err)));
            refusals += "status " + std::to_string(r.status) + ", standard error:\n" + r.err;
        }
        EXPECT_TRUE(accepted) << p.name << ".1 documents " << option.name
                              << ", which the program does not accept:\n"
                              << refusals;
    }

    std::string help;
    for (const Command &command : p.commands) {
        std::vector<std::string> argv = {p.path};
        argv.insert(argv.end(), command.words.begin(), command.words.end());
        argv.insert(argv.end(), p.help.begin(), p.help.end());
        const ProcessResult r = run_process(argv);
        help += r.out + r.err;
    }
    const std::set<std::string> listed = listed_options(help);
    EXPECT_FALSE(listed.empty()) << "no option in " << p.name << "'s help:\n" << help;
    for (const std::string &name : listed) {
        if (!std::regex_match(name, others)) {
            EXPECT_EQ(names.count(name), 1u)
                << p.name << " lists " << name << ", which " << p.name << ".1 does not document";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Manual, ::testing::ValuesIn(programs()), [](const auto &info) {
    return std::regex_replace(info.param.name, std::regex("-"), "_");
});

} // namespace
