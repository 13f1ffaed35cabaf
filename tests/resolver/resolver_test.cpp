#include "resolver/resolver.h"

#include "scenario.h"
#include "testing/dependencies.h"
#include "testing/testing.h"

namespace updater::testing {

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << "'" << scenario.title << "'"; }

namespace {

// Labels with "@location" for packages that have a location.
std::vector<std::string> locatedLabels(const NewPackages& packages)
{
    std::vector<std::string> result;
    for (const auto& [name, package] : packages)
        result.push_back(package.location.empty() ? package.label() : package.label() + "@" + package.location.str());
    return result;
}

void expectItems(const Scenario& scenario, const std::string& key, const std::vector<std::string>& actual)
{
    if (auto expected = scenario.expected.find(key); expected != scenario.expected.end()) {
        EXPECT_EQ(actual, expected->second) << key;
    }
}

class ResolverScenario : public ::testing::TestWithParam<Scenario> {};

// As the update run drives the resolver: select, and close the dependencies
// of a non-empty selection.
TEST_P(ResolverScenario, Outcome)
{
    const Scenario& scenario = GetParam();
    SCOPED_TRACE(std::string(RESOLVER_SCENARIOS) + ":" + std::to_string(scenario.line));
    LogCapture capture; // every message formatted, down to TRACE
    Resolver resolver;
    ASSERT_TRUE(resolver.init(std::make_unique<PackageCollection>(scenario.installed)));

    NewPackages newPackages = resolver.resolveNewer(scenario.repository, scenario.include, scenario.exclude,
                                                    scenario.excludedGroups, scenario.pull);
    expectItems(scenario, "selected", locatedLabels(newPackages));

    UnsatisfiedSet unsatisfied;
    bool complete = true;
    int terminationChecks = 0;
    if (!newPackages.empty()) {
        complete = resolver.closeDependencies(scenario.repository, newPackages, unsatisfied, [&] {
            ++terminationChecks;
            return scenario.terminate;
        });
    }
    expectItems(scenario, "closed", locatedLabels(newPackages));
    expectItems(scenario, "open", texts(unsatisfied));
    expectItems(scenario, "complete", {complete ? "yes" : "no"});
    if (scenario.terminate) {
        EXPECT_EQ(terminationChecks, 1);
    }

    if (scenario.provide) {
        UnsatisfiedSet failing{parseDependency("stale")};
        EXPECT_EQ(resolver.checkProvide(*scenario.provide, newPackages, failing), failing.empty());
        expectItems(scenario, "failing", texts(failing));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ResolverScenario,
                         ::testing::ValuesIn(loadScenarios(RESOLVER_SCENARIOS)),
                         [](const auto& info) { return testName(info.param); });

// The rules the scenarios cover through resolveNewer and closeDependencies
// are not tested again one helper at a time; these are the edges they miss.

std::unique_ptr<PackageCollection> packages(std::initializer_list<const char*> lines)
{
    auto collection = std::make_unique<PackageCollection>();
    for (const char* line : lines)
        addPackage(*collection, parsePackageLine(line));
    return collection;
}

TEST(Resolver, AllAvailableModePullsUpdatesAndOthers)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(packages({"c 0:1.0-1"})));
    auto repository = packages({"alt 0:1.0-1 | provides liby", "c 0:2.0-1 | provides libx", "d 0:1.0-1 | provides libz"});
    UnsatisfiedSet unsatisfied{parseDependency("libx"), parseDependency("liby")};
    NewPackages newPackages;
    EXPECT_TRUE(resolver.pullDependencies(PullMode::allAvailable, *repository, unsatisfied, newPackages));
    EXPECT_EQ(labels(newPackages), (std::vector<std::string>{"alt-0:1.0-1", "c-0:2.0-1"}));
    EXPECT_TRUE(unsatisfied.empty());
    EXPECT_FALSE(resolver.pullDependencies(*repository, unsatisfied, newPackages));
}

TEST(Resolver, CheckDependenciesStartsFromAnEmptySet)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(packages({"a 0:1.0-1 | requires libx", "b 0:1.0-1 | provides libx"})));
    EXPECT_FALSE(resolver.init(packages({}))); // once only
    EXPECT_FALSE(Resolver().init(nullptr));    // the database gave no list
    UnsatisfiedSet unsatisfied{parseDependency("stale")};
    EXPECT_TRUE(resolver.checkDependencies({}, unsatisfied));
    EXPECT_TRUE(unsatisfied.empty());

    // Replacing b by a version without the provide opens a's require, once
    // however many packages need it.
    NewPackages newPackages;
    for (const char* line : {"b 0:2.0-1", "c 0:1.0-1 | requires libx"}) {
        Package package = parsePackageLine(line);
        newPackages.try_emplace(package.name.view(), package);
    }
    EXPECT_FALSE(resolver.checkDependencies(newPackages, unsatisfied));
    EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{"libx"});
}

} // namespace
} // namespace updater::testing
