// SPDX-License-Identifier: MIT
// What a fleet's report records of each host: when it ran, the machine
// (its CPU's model and identity, kernel and C library, with the keys and
// values of zarvek-report's machine record, so that a store reads both
// alike) and the bytes of the program that ran there.
#ifndef ZARVEK_FLEET_HOST_FACTS_H
#define ZARVEK_FLEET_HOST_FACTS_H

#include <ctime>
#include <string>

// The facts of this host, read now: DATE (when the run began), the
// machine as seen from CPU (the processor block whose identity counts;
// -1 for the first), and the SHA-256 of the running program. The JSON
// text of an object with "date", "machine" and "zarvek_fleet_sha256"
// (null where the program cannot be read); bytes that are not UTF-8 in
// what the kernel gives are replaced.
std::string host_facts(std::time_t date, int cpu);

#endif
