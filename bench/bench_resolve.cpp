// Times the metadata parse and the package selection of a check-only run on
// one primary file, and reports the peak resident memory after each phase.
// Runs inside a device root whose rpm database holds the installed set.
//
//   bench_resolve <primary-file>
#include <chrono>
#include <cstdio>
#include <rpm/rpmlib.h>

#include "config/config.h"
#include "repo/repositorydata.h"
#include "resolver/resolver.h"

using namespace updater;

namespace {

// The peak resident memory of this program image (VmHWM). getrusage's
// figure would also count the processes that exec'd it, the benchmark's
// Python driver among them.
long peakKb()
{
    FILE* status = fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, status)) {
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    }
    fclose(status);
    return kb;
}

double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <primary-file>\n", argv[0]);
        return 2;
    }
    Logger::instance().setThreshold(LogLevel::error);
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        return 1;
    Config config;
    Repository repository;
    repository.id = "bench";
    repository.location = "/nonexistent";
    RepositoryData data(config, repository);

    auto start = std::chrono::steady_clock::now();
    if (!data.parsePrimary(argv[1]))
        return 1;
    double parseSeconds = since(start);
    long parseKb = peakKb();

    start = std::chrono::steady_clock::now();
    Resolver resolver;
    if (!resolver.init(config))
        return 1;
    NewPackages selection = resolver.resolveNewer(data.packages(), {}, {}, {}, {});
    size_t selected = selection.size();
    UnsatisfiedSet unsatisfied;
    bool complete = resolver.closeDependencies(data.packages(), selection, unsatisfied, [] { return false; });
    double resolveSeconds = since(start);

    printf("{\"packages\": %zu, \"parse_s\": %.3f, \"parse_peak_kb\": %ld, \"resolve_s\": %.3f, "
           "\"peak_kb\": %ld, \"selected\": %zu, \"closure\": %zu, \"complete\": %s, \"pool_bytes\": %zu}\n",
           data.packages().size(), parseSeconds, parseKb, resolveSeconds, peakKb(), selected, selection.size(),
           complete ? "true" : "false", pooledStringBytes());
    return 0;
}
