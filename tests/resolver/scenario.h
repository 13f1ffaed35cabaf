// Resolver scenarios read from a data file: the installed and repository
// packages, the name sets and the expected outcome of one behaviour.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "evr/dependency.h"
#include "repo/package.h"
#include "resolver/resolver.h"

namespace updater::testing {

struct Scenario {
    std::string title;
    int line = 0;
    PackageCollection installed;
    PackageCollection repository;
    NameSet include, exclude, excludedGroups, pull;
    bool terminate = false;
    std::optional<Dependency> provide;
    // Expectations by key ("selected", "closed", "open", "complete",
    // "failing"), each the item list of its line.
    std::map<std::string, std::vector<std::string>> expected;
};

// Every scenario of the file; throws on a malformed line.
std::vector<Scenario> loadScenarios(const std::string& path);

// "name evr [| key value]...", see scenarios.txt.
Package parsePackageLine(const std::string& text);

// The scenario's title as a test name: letters, digits and '_'.
std::string testName(const Scenario& scenario);

} // namespace updater::testing
