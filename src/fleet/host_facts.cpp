// SPDX-License-Identifier: MIT
// A host's facts, read from /proc/cpuinfo, the device tree, uname and the
// C library as zarvek-report reads them (src/python/zarvek/_machine.py).
#include "host_facts.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sha256.h"

namespace {

using json = nlohmann::ordered_json;
using Fields = std::map<std::string, std::string>;

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// /proc/cpuinfo: the processors' blocks by CPU number, and the lines of
// blocks that name no processor (machine-wide lines on Arm kernels).
void read_cpuinfo(std::map<int, Fields> &processors, Fields &common)
{
    std::istringstream in(read_text("/proc/cpuinfo") + "\n");
    Fields fields;
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            fields[trimmed(line.substr(0, colon))] = trimmed(line.substr(colon + 1));
            continue;
        }
        if (!trimmed(line).empty()) {
            continue;
        }
        const auto number = fields.find("processor");
        if (number != fields.end() && !number->second.empty() && number->second.size() < 9 &&
            number->second.find_first_not_of("0123456789") == std::string::npos) {
            processors[std::atoi(number->second.c_str())] = fields;
        } else {
            for (const auto &[key, value] : fields) {
                common[key] = value;
            }
        }
        fields.clear();
    }
}

// A device-tree property's strings (NUL-separated).
std::vector<std::string> device_tree(const char *name)
{
    for (const char *root : {"/proc/device-tree/", "/sys/firmware/devicetree/base/"}) {
        std::ifstream in(std::string(root) + name, std::ios::binary);
        if (!in) {
            continue;
        }
        std::vector<std::string> strings;
        for (std::string s; std::getline(in, s, '\0');) {
            if (!s.empty()) {
                strings.push_back(s);
            }
        }
        return strings;
    }
    return {};
}

// The identity fields of /proc/cpuinfo by processor family, and their
// names in the record: what tells one processor from another where the
// model name is generic (a virtual machine's, or none at all).
struct Family {
    const char *kind;
    std::vector<std::pair<const char *, const char *>> keys;
};

const Family FAMILIES[] = {
    {"x86",
     {{"vendor_id", "vendor"},
      {"cpu family", "family"},
      {"model", "model"},
      {"stepping", "stepping"},
      {"microcode", "microcode"},
      {"flags", "flags"}}},
    {"arm",
     {{"CPU implementer", "implementer"},
      {"CPU architecture", "architecture"},
      {"CPU variant", "variant"},
      {"CPU part", "part"},
      {"CPU revision", "revision"},
      {"Features", "features"}}},
    {"riscv",
     {{"isa", "isa"},
      {"mmu", "mmu"},
      {"uarch", "uarch"},
      {"mvendorid", "mvendorid"},
      {"marchid", "marchid"},
      {"mimpid", "mimpid"}}},
};

json identity(const Fields &fields)
{
    for (const Family &family : FAMILIES) {
        if (fields.count(family.keys[0].first) == 0) {
            continue;
        }
        json found = {{"kind", family.kind}};
        for (const auto &[key, name] : family.keys) {
            const auto at = fields.find(key);
            if (at == fields.end()) {
                continue;
            }
            const std::string field = name;
            if (field == "flags" || field == "features") {
                found[field] = words(at->second);
            } else {
                found[field] = at->second;
            }
        }
        return found;
    }
    return json::object();
}

std::string field(const Fields &fields, const char *key)
{
    const auto at = fields.find(key);
    return at == fields.end() ? "" : at->second;
}

json machine(int cpu)
{
    std::map<int, Fields> processors;
    Fields common;
    read_cpuinfo(processors, common);
    Fields merged = common;
    const auto first = processors.count(cpu) != 0 ? processors.find(cpu) : processors.begin();
    if (first != processors.end()) {
        for (const auto &[key, value] : first->second) {
            merged[key] = value;
        }
    }
    json cpu_id = identity(merged);
    const std::vector<std::string> compatible = device_tree("compatible");
    if (!compatible.empty()) {
        cpu_id["compatible"] = compatible;
    }
    // The name: an Arm kernel's model name is the architecture's, so the
    // board's name comes first there.
    std::vector<std::string> names = {field(merged, "model name"), field(merged, "uarch")};
    if (cpu_id.value("kind", "") == "arm") {
        const std::vector<std::string> board = device_tree("model");
        names.insert(names.begin(), {board.empty() ? "" : board[0], field(merged, "Hardware")});
        names.push_back("Arm implementer " + cpu_id.value("implementer", "?") + " part " +
                        cpu_id.value("part", "?"));
    }
    utsname system{};
    uname(&system);
    names.emplace_back(system.machine);
    std::string model;
    for (const std::string &name : names) {
        if (!name.empty()) {
            model = name;
            break;
        }
    }
    std::string libc = "unknown";
#ifdef _CS_GNU_LIBC_VERSION
    char version[64] = {};
    if (confstr(_CS_GNU_LIBC_VERSION, version, sizeof version) > 0) {
        libc = version;
    }
#endif
    return {{"cpu_model", model},
            {"cpu_id", cpu_id},
            {"architecture", system.machine},
            {"kernel", system.release},
            {"libc", libc}};
}

} // namespace

std::string host_facts(std::time_t date, int cpu)
{
    char text[32] = {};
    std::tm utc{};
    gmtime_r(&date, &utc);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    std::string error;
    const std::string digest = file_sha256("/proc/self/exe", error);
    const json facts = {{"date", text},
                        {"machine", machine(cpu)},
                        {"zarvek_fleet_sha256", digest.empty() ? json(nullptr) : json(digest)}};
    return facts.dump(-1, ' ', false, json::error_handler_t::replace);
}
