// Shared by the repository network tests: a real repository (built by
// tests/repo/make_test_repos.py) served by the scripted server, a cache
// directory, and update runs in forked children.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "download/filehelpers.h"
#include "download/networktest.h"
#include "repo/itemnotify.h"
#include "repo/repositorydata.h"
#include "repotesting.h"

namespace updater::testing {

constexpr unsigned PORT = 8080;
constexpr const char* HTTP_REPO = "http://127.0.0.1:8080/";

// A clock that moves on 61 seconds whenever it is read: every report of a
// download batch is due.
inline long long steppingClock()
{
    static long long now = 0;
    return now += 61;
}

inline std::vector<std::string> directoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path))
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ServedRepository : public ::testing::Test {
protected:
    ServedRepository()
    {
        config.cacheDir = dir.path() + "/";
        config.noMdSigCheck = true;
        repository.id = "base";
        repository.location = HTTP_REPO;
    }

    static std::string repoDir() { return std::string(TEST_REPOS) + "/sha256"; }
    std::string cacheDir() const { return dir.path() + "/base/"; }
    std::string packageCacheDir() const { return cacheDir() + "packages/"; }

    // The primary file's location, as repomd.xml gives it.
    static std::string primaryLocation()
    {
        for (const auto& file : std::filesystem::directory_iterator(repoDir() + "/repodata")) {
            std::string name = file.path().filename().string();
            if (name.ends_with("-primary.xml.gz"))
                return "repodata/" + name;
        }
        ADD_FAILURE() << "no primary file in " << repoDir();
        return {};
    }

    static std::string repomd() { return readFile(repoDir() + "/repodata/repomd.xml"); }

    // The server: the repository directory, with `routes` (JSON members) in front.
    static std::string serverConfig(const std::string& routes = "")
    {
        return "{\"root\": \"" + repoDir() + "\", \"routes\": {" + routes + "}}";
    }

    // The paths of the requests a server received, in order.
    static std::vector<std::string> paths(const TestServer& server)
    {
        std::vector<std::string> result;
        for (const std::string& line : server.requests())
            result.push_back(requestPath(line));
        return result;
    }

    // Both headers that bypass HTTP caches, or neither.
    static std::string cacheHeaders(const std::string& request)
    {
        return requestHeader(request, "Cache-Control") + "/" + requestHeader(request, "Pragma");
    }

    // Files below the cache with a download's temporary name.
    std::vector<std::string> temporaryFiles() const
    {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
            if (entry.path().extension() == ".tmp")
                found.push_back(entry.path().string());
        return found;
    }

    TemporaryDirectory dir;
    Config config;
    Repository repository;
};

// JSON text of a string.
inline std::string json(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

} // namespace updater::testing
