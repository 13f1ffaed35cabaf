// Times fetchPackages on every package of a repository (download into the
// emptied package cache and checksum check) and reports the peak resident
// memory. Runs inside a device root, whose loopback serves the repository.
//
//   bench_download <repository-uri> <cache-dir>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <neon/ne_socket.h>
#include <rpm/rpmlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "config/config.h"
#include "download/downloader.h"
#include "repo/repositorydata.h"

using namespace updater;

namespace {

// getrusage's ru_maxrss survives execve: started by a Python driver it shows
// the Python process it was forked from. The high-water mark of this image's
// own memory is VmHWM.
long peakKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    return -1;
}

long maxrssKb()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool fetchAll(RepositoryData& data)
{
    NewPackages set;
    for (const auto& [name, package] : data.packages())
        set.emplace(name, package);
    if (!data.cleanPackageCache())
        return false;
    auto start = std::chrono::steady_clock::now();
    if (!data.fetchPackages(set))
        return false;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The checksum part of that: one more check of the fetched files.
    start = std::chrono::steady_clock::now();
    long long bytes = 0;
    for (const auto& [name, package] : set) {
        struct stat info {};
        if (stat(package.localPath.c_str(), &info) == 0)
            bytes += info.st_size;
        if (!package.checksum.checkFile(package.localPath.str()))
            return false;
    }
    double hashSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("{\"fetch_s\": %.3f, \"hash_s\": %.3f, \"bytes\": %lld, \"packages\": %zu, \"peak_kb\": %ld, "
           "\"maxrss_kb\": %ld}\n",
           seconds, hashSeconds, bytes, set.size(), peakKb(), maxrssKb());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <repository-uri> <cache-dir>\n", argv[0]);
        return 2;
    }
    Logger::instance().setThreshold(LogLevel::error);
    if (rpmReadConfigFiles(nullptr, nullptr) != 0 || ne_sock_init() != 0)
        return 1;
    NetworkSettings settings;
    settings.userAgentBase = "bench";
    URLFetcher::initClass(settings);
    Config config;
    config.cacheDir = std::string(argv[2]) + "/";
    config.noMdSigCheck = true;
    Repository repository;
    repository.id = "bench";
    repository.location = argv[1];
    RepositoryData data(config, repository);
    bool ok = data.update("") && fetchAll(data);
    ne_sock_exit();
    return ok ? 0 : 1;
}
