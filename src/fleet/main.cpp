// SPDX-License-Identifier: MIT
// zarvek-fleet: one copy of the benchmark's work per MPI rank, started
// together; rank 0 reports the fleet's rate and names the slow hosts and
// copies. Only the MPI C API is used, so any MPI library will do.
#include <mpi.h>

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "build_context.h"
#include "driver.h"
#include "files.h"
#include "host_facts.h"
#include "loop_text.h"
#include "report.h"

namespace {

const char USAGE[] =
    "usage: zarvek-fleet [--loops N] [--repetitions R] [--threshold PCT] [--json FILE] "
    "[--version]\n";

constexpr int32_t DEFAULT_LOOPS = REFERENCE_LOOP;
constexpr long long DEFAULT_REPETITIONS = 10;
constexpr long long MAX_REPETITIONS = 1000;
constexpr double DEFAULT_THRESHOLD = 5;

// --help: the usage line, what the program does and its options.
void print_help()
{
    std::printf("%s\n"
                "Rate a fleet: one copy of zarvek's work in every MPI rank, all released\n"
                "together for each repetition; rank 0 reports the fleet's rate and names the\n"
                "hosts and copies more than PCT %% below the median copy. Start it with the\n"
                "MPI launcher (mpirun, srun), one rank per core, bound to it.\n"
                "\n"
                "options:\n"
                "  -h, --help       print this help and exit\n"
                "  --version        print the version and exit\n"
                "  --loops N        the loop count of each pass, 1 to 2147483647 (default %d)\n"
                "  --repetitions R  passes each copy runs, 1 to %lld (default %lld)\n"
                "  --threshold PCT  flag copies and hosts more than PCT %% below the median\n"
                "                   copy, 0 to 100 (default %g)\n"
                "  --json FILE      also write the report as JSON, replaced whole\n",
                USAGE, DEFAULT_LOOPS, MAX_REPETITIONS, DEFAULT_REPETITIONS, DEFAULT_THRESHOLD);
}

// What rank 0 read from the command line; the other ranks receive it, so
// every rank measures alike whatever it was started with.
enum class Start : long long { Measure, Help, Version, BadArguments };

struct Settings {
    Start start = Start::Measure;
    int32_t loops = DEFAULT_LOOPS;
    long long repetitions = DEFAULT_REPETITIONS;
    double threshold = DEFAULT_THRESHOLD;
    std::string json; // empty: no JSON file
    std::string error;
};

// A whole decimal number from MIN to MAX and nothing else.
bool read_count(const char *text, long long min, long long max, long long &value)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long read = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || read < min || read > max) {
        return false;
    }
    value = read;
    return true;
}

bool read_percent(const char *text, double &value)
{
    if ((*text < '0' || *text > '9') && *text != '.') {
        return false;
    }
    char *end = nullptr;
    const double read = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(read) || read > 100) {
        return false;
    }
    value = read;
    return true;
}

// Options as "--name VALUE" or "--name=VALUE"; the last of each counts.
Settings parse_arguments(int argc, char **argv)
{
    Settings settings;
    auto fail = [&settings](const std::string &message) {
        settings.start = Start::BadArguments;
        settings.error = message;
        return settings;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            settings.start = Start::Help;
            return settings;
        }
        if (arg == "--version") {
            settings.start = Start::Version;
            return settings;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (name != "--loops" && name != "--repetitions" && name != "--threshold" &&
            name != "--json") {
            return fail("unknown argument '" + arg + "'");
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return fail(name + " needs a value");
        }
        long long count = 0;
        if (name == "--loops") {
            if (!read_count(value.c_str(), 1, INT32_MAX, count)) {
                return fail("--loops must be a whole number from 1 to 2147483647, not '" + value +
                            "'");
            }
            settings.loops = static_cast<int32_t>(count);
        } else if (name == "--repetitions") {
            if (!read_count(value.c_str(), 1, MAX_REPETITIONS, count)) {
                return fail("--repetitions must be a whole number from 1 to " +
                            std::to_string(MAX_REPETITIONS) + ", not '" + value + "'");
            }
            settings.repetitions = count;
        } else if (name == "--threshold") {
            if (!read_percent(value.c_str(), settings.threshold)) {
                return fail("--threshold must be a percentage from 0 to 100, not '" + value + "'");
            }
        } else {
            if (value.empty()) {
                return fail("--json needs a file name");
            }
            settings.json = value;
        }
    }
    return settings;
}

// An MPI call failed: no figure can be trusted, so the whole job ends
// with status 2.
void abort_on_mpi_error(MPI_Comm * /*comm*/, int *code, ...)
{
    char text[MPI_MAX_ERROR_STRING] = {};
    int length = 0;
    MPI_Error_string(*code, text, &length);
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    std::fprintf(stderr, "zarvek-fleet: rank %d: MPI error: %s\n", rank, text);
    MPI_Abort(MPI_COMM_WORLD, 2);
}

// What each rank sends rank 0, once, at the end: a record of fixed size
// for the run, described to MPI field by field. The host name is a fixed
// array that the receiver terminates itself.
enum IntField { CPU_FIRST, CPU_LAST, MIGRATED, SUBNORMAL, INT_FIELDS };

struct RecordLayout {
    size_t ints_at = 0;
    size_t seconds_at = 0;
    size_t size = 0;
    MPI_Datatype type = MPI_DATATYPE_NULL;
};

size_t round_up(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

RecordLayout make_record_layout(long long repetitions)
{
    RecordLayout layout;
    layout.ints_at = round_up(MPI_MAX_PROCESSOR_NAME, alignof(int));
    layout.seconds_at = round_up(layout.ints_at + INT_FIELDS * sizeof(int), alignof(double));
    layout.size = layout.seconds_at + static_cast<size_t>(repetitions) * sizeof(double);
    const int lengths[] = {MPI_MAX_PROCESSOR_NAME, INT_FIELDS, static_cast<int>(repetitions)};
    const MPI_Aint offsets[] = {0, static_cast<MPI_Aint>(layout.ints_at),
                                static_cast<MPI_Aint>(layout.seconds_at)};
    const MPI_Datatype types[] = {MPI_CHAR, MPI_INT, MPI_DOUBLE};
    MPI_Datatype fields = MPI_DATATYPE_NULL;
    MPI_Type_create_struct(3, lengths, offsets, types, &fields);
    MPI_Type_create_resized(fields, 0, static_cast<MPI_Aint>(layout.size), &layout.type);
    MPI_Type_free(&fields);
    MPI_Type_commit(&layout.type);
    return layout;
}

double seconds_between(const timespec &start, const timespec &end)
{
    return static_cast<double>(end.tv_sec - start.tv_sec) +
           static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
}

// Waits for every rank to get here without using the CPU. An MPI barrier
// polls while it waits, and a rank that polls slows the ranks still at
// work: on a CPU they share (more ranks than CPUs), or on a sibling
// hyperthread of the same core. Here it sleeps between tests instead.
void wait_for_all_quietly()
{
    MPI_Request request = MPI_REQUEST_NULL;
    MPI_Ibarrier(MPI_COMM_WORLD, &request);
    int done = 0;
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    while (!done) {
        const timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    }
}

// This rank's copy of the work: REPETITIONS passes, each started with all
// ranks released together by a barrier, once all have finished the pass
// before, and timed on its own. The underflow flag is cleared before each
// timed region and tested after it, so it costs the timed work nothing
// and says whether a pass computed with subnormal numbers. Fills RECORD.
void measure(const Settings &settings, const RecordLayout &layout,
             std::vector<unsigned char> &record, int &first_cpu)
{
    std::vector<double> seconds(static_cast<size_t>(settings.repetitions));
    int ints[INT_FIELDS] = {-1, -1, 0, 0};
    for (size_t r = 0; r < seconds.size(); ++r) {
        wait_for_all_quietly();
        MPI_Barrier(MPI_COMM_WORLD);
        std::feclearexcept(FE_UNDERFLOW);
        const int cpu_start = sched_getcpu();
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        assign_constants();
        timed_pass(settings.loops);
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &end);
        const int cpu_end = sched_getcpu();
        if (std::fetestexcept(FE_UNDERFLOW) != 0) {
            ints[SUBNORMAL] = 1;
        }
        seconds[r] = seconds_between(start, end);
        if (r == 0) {
            ints[CPU_FIRST] = cpu_start;
        }
        if (cpu_start != ints[CPU_FIRST] || cpu_end != ints[CPU_FIRST]) {
            ints[MIGRATED] = 1;
        }
        ints[CPU_LAST] = cpu_end;
    }

    first_cpu = ints[CPU_FIRST];
    record.assign(layout.size, 0);
    int length = 0;
    MPI_Get_processor_name(reinterpret_cast<char *>(record.data()), &length);
    std::memcpy(record.data() + layout.ints_at, ints, sizeof ints);
    std::memcpy(record.data() + layout.seconds_at, seconds.data(), seconds.size() * sizeof(double));
}

// Rank 0: the copies from the gathered records, or an error if a record
// holds a time no pass can take.
bool read_records(const std::vector<unsigned char> &records, const RecordLayout &layout, int ranks,
                  long long repetitions, std::vector<Copy> &copies, std::string &error)
{
    copies.resize(static_cast<size_t>(ranks));
    for (int rank = 0; rank < ranks; ++rank) {
        const unsigned char *record = records.data() + static_cast<size_t>(rank) * layout.size;
        Copy &copy = copies[static_cast<size_t>(rank)];
        char host[MPI_MAX_PROCESSOR_NAME];
        std::memcpy(host, record, sizeof host);
        host[sizeof host - 1] = '\0';
        copy.host = host;
        copy.rank = rank;
        int ints[INT_FIELDS];
        std::memcpy(ints, record + layout.ints_at, sizeof ints);
        copy.cpu = std::max(ints[CPU_FIRST], -1);
        copy.last_cpu = std::max(ints[CPU_LAST], -1);
        copy.migrated = ints[MIGRATED] != 0;
        copy.subnormal = ints[SUBNORMAL] != 0;
        copy.seconds.resize(static_cast<size_t>(repetitions));
        std::memcpy(copy.seconds.data(), record + layout.seconds_at,
                    copy.seconds.size() * sizeof(double));
        for (const double s : copy.seconds) {
            if (!(std::isfinite(s) && s > 0)) {
                error = "rank " + std::to_string(rank) + " timed a pass at " + std::to_string(s) +
                        " s; no rating";
                return false;
            }
        }
    }
    return true;
}

// Every rank's host_facts() as JSON text, for rank 0, by rank (empty on
// the others): read by the first rank of each node alone (each group of
// ranks that can share memory), the others send none. Read once all
// ranks have measured, as reading the program's bytes takes a CPU.
std::vector<std::string> gather_host_facts(std::time_t began, int first_cpu, int rank, int ranks)
{
    MPI_Comm node = MPI_COMM_NULL;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL, &node);
    int node_rank = 0;
    MPI_Comm_rank(node, &node_rank);
    MPI_Comm_free(&node);
    const std::string facts = node_rank == 0 ? host_facts(began, first_cpu) : "";
    int length = static_cast<int>(facts.size());
    std::vector<int> lengths(rank == 0 ? static_cast<size_t>(ranks) : 0);
    MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<int> offsets(lengths.size());
    int total = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        offsets[i] = total;
        total += lengths[i];
    }
    std::vector<char> text(static_cast<size_t>(total) + 1);
    MPI_Gatherv(facts.data(), length, MPI_CHAR, text.data(), lengths.data(), offsets.data(),
                MPI_CHAR, 0, MPI_COMM_WORLD);
    std::vector<std::string> by_rank(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i) {
        by_rank[i].assign(text.data() + offsets[i], static_cast<size_t>(lengths[i]));
    }
    return by_rank;
}

Context build_context()
{
    char version[MPI_MAX_LIBRARY_VERSION_STRING] = {};
    int length = 0;
    MPI_Get_library_version(version, &length);
    std::string mpi(version); // some libraries count the terminating NUL
    mpi = mpi.substr(0, mpi.find('\n'));
    for (char &c : mpi) {
        c = c == '\t' ? ' ' : c;
    }
    mpi.erase(mpi.find_last_not_of(" \r\n,") + 1);
    return {ZARVEK_COMPILER, ZARVEK_WORKLOAD_FLAGS, ZARVEK_TARGET, mpi};
}

// Rank 0 after the gather: the report and the JSON; returns the status.
int report(const Settings &settings, const std::vector<unsigned char> &records,
           const RecordLayout &layout, int ranks, const std::vector<std::string> &facts)
{
    std::vector<Copy> copies;
    std::string error;
    if (!read_records(records, layout, ranks, settings.repetitions, copies, error)) {
        std::fprintf(stderr, "zarvek-fleet: %s\n", error.c_str());
        return 2;
    }
    Report result = compute_report(std::move(copies), settings.loops, settings.threshold);
    attach_host_facts(result, facts);
    // Nothing refuses such a measurement, but it must not pass for the
    // processor's speed: one warning for the job, and the JSON says it.
    if (result.subnormal) {
        std::fprintf(stderr,
                     "zarvek-fleet: warning: at %s loops the passes computed with subnormal "
                     "numbers (they do from %s loops on): %s\n",
                     grouped(settings.loops).c_str(), grouped(SUBNORMAL_LOOP).c_str(),
                     subnormal_meaning().c_str());
    }
    const Context context = build_context();
    print_report(stdout, result, context);
    int status = report_status(result);
    if (!settings.json.empty()) {
        error = write_whole(settings.json, report_json(result, context).dump(2) + "\n");
        if (!error.empty()) {
            std::fprintf(stderr, "zarvek-fleet: %s\n", error.c_str());
            status = 2;
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "zarvek-fleet: cannot write standard output: %s\n",
                     std::strerror(errno));
        status = 2;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (MPI_Init(&argc, &argv) != MPI_SUCCESS) {
        std::fprintf(stderr, "zarvek-fleet: MPI could not start\n");
        return 2;
    }
    MPI_Errhandler handler = MPI_ERRHANDLER_NULL;
    MPI_Comm_create_errhandler(abort_on_mpi_error, &handler);
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, handler);
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);

    // Rank 0 reads the command line and speaks for the job; the others
    // take its settings, so there is one message, and one decision.
    Settings settings;
    if (rank == 0) {
        settings = parse_arguments(argc, argv);
        if (settings.start == Start::BadArguments) {
            std::fprintf(stderr, "zarvek-fleet: %s\n%s", settings.error.c_str(), USAGE);
        } else if (settings.start == Start::Help) {
            print_help();
        } else if (settings.start == Start::Version) {
            std::puts("zarvek-fleet " ZARVEK_VERSION);
        } else if (!settings.json.empty() &&
                   !(settings.error = check_writable(settings.json)).empty()) {
            std::fprintf(stderr, "zarvek-fleet: %s\n", settings.error.c_str());
            settings.start = Start::BadArguments;
        }
    }
    long long shared[] = {static_cast<long long>(settings.start), settings.loops,
                          settings.repetitions};
    MPI_Bcast(shared, 3, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    MPI_Bcast(&settings.threshold, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    settings.start = static_cast<Start>(shared[0]);
    settings.loops = static_cast<int32_t>(shared[1]);
    settings.repetitions = shared[2];
    if (settings.start != Start::Measure) {
        MPI_Finalize();
        return settings.start == Start::BadArguments ? 2 : 0;
    }

    RecordLayout layout = make_record_layout(settings.repetitions);
    std::vector<unsigned char> record;
    const std::time_t began = std::time(nullptr);
    int first_cpu = -1;
    measure(settings, layout, record, first_cpu);

    // One gather, at the end: every rank's record, each of the same fixed
    // size, so rank 0 reads exactly what was sent.
    std::vector<unsigned char> records;
    if (rank == 0) {
        records.resize(static_cast<size_t>(ranks) * layout.size);
    }
    // The first rank done must not poll in the gather while others still
    // run their last pass.
    wait_for_all_quietly();
    MPI_Gather(record.data(), 1, layout.type, records.data(), 1, layout.type, 0, MPI_COMM_WORLD);
    MPI_Type_free(&layout.type);
    const std::vector<std::string> facts = gather_host_facts(began, first_cpu, rank, ranks);

    int status = rank == 0 ? report(settings, records, layout, ranks, facts) : 0;
    // Every rank ends with rank 0's status, so that any launcher reports it.
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Errhandler_free(&handler);
    MPI_Finalize();
    return status;
}
