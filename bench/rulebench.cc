// The access rules loader alone, timed and weighed as the daemon uses it:
//
//   rulebench FILE [RELOADS]
//
// Loads FILE once and prints the rules, the load time and the resident
// memory the table added (per rule too); then RELOADS times does what a
// reload does, a new table loaded while the old one is in force and the old
// one freed after, and prints the resident memory after the first and the
// last of them and the most it reached after any.
#include "sockherd.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace {

long resident_bytes()
{
    FILE *statm = fopen("/proc/self/statm", "r");
    long size = 0;
    long resident = 0;
    if (statm == nullptr)
        return -1;
    if (fscanf(statm, "%ld %ld", &size, &resident) != 2)
        resident = -1;
    fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// This process's processor time, user and system: on a busy machine a
// steadier measure than the time on the clock.
double cpu_seconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: rulebench FILE [RELOADS]\n");
        return 2;
    }
    long reloads = argc == 3 ? atol(argv[2]) : 0;
    long before = resident_bytes();
    double cpu_before = cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    sockherd::access_table *table = sockherd::load_access_table(argv[1], sockherd::warn);
    double load_seconds = seconds_since(start);
    double load_cpu = cpu_seconds() - cpu_before;
    if (table == nullptr)
        return 1;
    long loaded = resident_bytes();
    size_t rules = sockherd::access_rule_count(table);
    double per_rule = rules > 0 ? static_cast<double>(loaded - before) / static_cast<double>(rules) : 0;
    printf("%zu rules: loaded in %.3f s (%.3f s of processor time), %ld KiB resident for the table (%.1f bytes per "
           "rule)\n",
           rules, load_seconds, load_cpu, (loaded - before) / 1024, per_rule);
    long first = 0;
    long highest = 0;
    double slowest = 0;
    for (long i = 0; i < reloads; i++) {
        start = std::chrono::steady_clock::now();
        sockherd::access_table *next = sockherd::load_access_table(argv[1], sockherd::warn);
        if (next == nullptr)
            return 1;
        sockherd::free_access_table(table);
        table = next;
        double seconds = seconds_since(start);
        slowest = seconds > slowest ? seconds : slowest;
        long now = resident_bytes();
        if (i == 0)
            first = now;
        highest = now > highest ? now : highest;
    }
    if (reloads > 0)
        printf("%ld reloads: slowest %.3f s; resident after the first %ld KiB, after the last %ld KiB (%+ld KiB), "
               "highest %ld KiB\n",
               reloads, slowest, first / 1024, resident_bytes() / 1024, (resident_bytes() - first) / 1024,
               highest / 1024);
    sockherd::free_access_table(table);
    return 0;
}
