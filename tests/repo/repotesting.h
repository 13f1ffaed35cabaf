// Shared by the repository tests: crafted primary documents, rpm's
// configuration, and a real repository (the unit data's) served by the
// scripted server, with a cache directory and update runs in forked children.
#pragma once

#include <rpm/rpmlib.h>

#include "download/filehelpers.h"
#include "download/networktest.h"
#include "evr/dependency.h"
#include "repo/checksum.h"
#include "repo/itemnotify.h"
#include "repo/repositorydata.h"

namespace updater::testing {

// One `package` element, valid as it stands; each test changes a part.
struct PackageXml {
    std::string attributes = R"( type="rpm")";
    std::string name = "<name>foo</name>";
    std::string arch = "<arch>noarch</arch>";
    std::string version = R"(<version epoch="0" ver="1.0" rel="1"/>)";
    std::string checksum =
        R"(<checksum type="sha256" pkgid="YES">0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef</checksum>)";
    std::string location = R"(<location href="foo-1.0-1.noarch.rpm"/>)";
    std::string group = "<rpm:group>Tools</rpm:group>";
    std::string provides = R"(<rpm:provides><rpm:entry name="foo" flags="EQ" epoch="0" ver="1.0" rel="1"/></rpm:provides>)";
    std::string requires_;
    std::string obsoletes;
    std::string extra = "<summary>a package</summary><size package=\"1\"/>";

    std::string str() const
    {
        return "<package" + attributes + ">" + name + arch + version + checksum + extra + location + "<format>" +
               group + provides + requires_ + obsoletes + "</format></package>\n";
    }
};

inline std::string primaryDocument(const std::string& packages)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">
)" + packages + "</metadata>\n";
}

// The architecture test scores against rpm's configured platform.
class RpmConfig : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }
};

constexpr unsigned PORT = 8080;
constexpr const char* HTTP_REPO = "http://127.0.0.1:8080/";

// A clock that moves on 61 seconds whenever it is read: every report of a
// download batch is due.
inline long long steppingClock()
{
    static long long now = 0;
    return now += 61;
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

    static std::string repoDir() { return unitData("repos/sha256"); }
    std::string cacheDir() const { return dir.path() + "/base/"; }
    std::string packageCacheDir() const { return cacheDir() + "packages/"; }

    // The primary file's location in `repo`, as repomd.xml gives it.
    static std::string primaryLocation(const std::string& repo = repoDir())
    {
        for (const auto& file : std::filesystem::directory_iterator(repo + "/repodata"))
            if (file.path().filename().string().ends_with("-primary.xml.gz"))
                return "repodata/" + file.path().filename().string();
        ADD_FAILURE() << "no primary file in " << repo;
        return {};
    }

    static std::string repomd() { return readFile(repoDir() + "/repodata/repomd.xml"); }

    // The server: the repository directory, with `routes` (JSON members) in front.
    static std::string serverConfig(const std::string& routes = "")
    {
        return "{\"root\": \"" + repoDir() + "\", \"routes\": {" + routes + "}}";
    }

    // The paths of the requests a server received, in order; those ending in `suffix`.
    static std::vector<std::string> paths(const TestServer& server, const std::string& suffix = "")
    {
        std::vector<std::string> result;
        for (const std::string& line : server.requests())
            if (requestPath(line).ends_with(suffix))
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
