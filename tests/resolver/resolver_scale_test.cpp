// The resolver over a repository of the size real ones reach.
#include "resolver/resolver.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>

using namespace updater;

namespace {

constexpr int INSTALLED = 20000;
constexpr int EXTRAS = 2000;

// A sanity bound, far above the expected time: a look-up that scans whole
// collections per require blows it.
#ifdef __SANITIZE_ADDRESS__
constexpr double BOUND_SECONDS = 20.0;
#else
constexpr double BOUND_SECONDS = 2.0;
#endif

std::string numbered(const char* prefix, int number)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%05d", prefix, number);
    return text;
}

Package package(const std::string& name, const char* evr)
{
    Package result{PooledString(name)};
    result.evr = Evr::parse(evr);
    result.provides.insert(Dependency(result.name, result.evr, EQUAL));
    result.provides.insert(Dependency(PooledString("lib" + name), Evr::parse(evr), EQUAL));
    result.requires_.insert(Dependency(PooledString("/bin/sh")));
    result.requires_.insert(Dependency(PooledString("libc.so.6")));
    return result;
}

// Installed pkgN 1.0 needs lib(N+1) 1.0 or later; the repository offers
// pkgN 1.0 and 2.0, where 2.0 needs lib(N+1) 2.0 or later and every tenth
// also an extra package that nothing installed has.
struct Fixture {
    std::unique_ptr<PackageCollection> installed = std::make_unique<PackageCollection>();
    PackageCollection repository;

    Fixture()
    {
        Package libc{PooledString("glibc")};
        libc.evr = Evr::parse("0:2.36-9");
        libc.provides.insert(Dependency(PooledString("libc.so.6")));
        addPackage(*installed, libc);
        for (int n = 0; n < INSTALLED; ++n) {
            std::string name = numbered("pkg", n);
            PooledString next("lib" + numbered("pkg", (n + 1) % INSTALLED));
            Package old = package(name, "0:1.0-1");
            old.requires_.insert(Dependency(next, Evr::parse("0:1.0"), GREATER | EQUAL));
            addPackage(*installed, old);
            addPackage(repository, old);
            Package update = package(name, "0:2.0-1");
            update.requires_.insert(Dependency(next, Evr::parse("0:2.0"), GREATER | EQUAL));
            if (n % 10 == 0)
                update.requires_.insert(Dependency(PooledString("lib" + numbered("extra", n / 10))));
            addPackage(repository, update);
        }
        for (int n = 0; n < EXTRAS; ++n)
            addPackage(repository, package(numbered("extra", n), "0:1.0-1"));
    }
};

TEST(ResolverScale, SelectionAndClosureOfTwentyThousandPackages)
{
    Fixture fixture;
    NameSet include; // every other package: the closure must pull the rest
    for (int n = 0; n < INSTALLED; n += 2)
        include.insert(numbered("pkg", n));

    auto start = std::chrono::steady_clock::now();
    Resolver resolver;
    ASSERT_TRUE(resolver.init(std::move(fixture.installed)));
    NewPackages newPackages = resolver.resolveNewer(fixture.repository, include, {}, {}, {});
    EXPECT_EQ(newPackages.size(), static_cast<size_t>(INSTALLED / 2));
    UnsatisfiedSet unsatisfied;
    EXPECT_TRUE(resolver.closeDependencies(fixture.repository, newPackages, unsatisfied, [] { return false; }));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(newPackages.size(), static_cast<size_t>(INSTALLED + EXTRAS));
    EXPECT_TRUE(unsatisfied.empty());
    EXPECT_EQ(newPackages.at("pkg00001").evr.toString(), "0:2.0-1");
    EXPECT_LT(seconds, BOUND_SECONDS);
    RecordProperty("seconds", std::to_string(seconds));
}

} // namespace
