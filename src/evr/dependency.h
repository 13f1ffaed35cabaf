// Dependency entries (provides, requires, obsoletes) and their range overlap.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "evr/evr.h"

namespace updater {

// The sense bits of rpm's dependency flag word, with rpm's values.
constexpr int32_t LESS = 2;
constexpr int32_t GREATER = 4;
constexpr int32_t EQUAL = 8;
constexpr int32_t SENSE_MASK = LESS | GREATER | EQUAL;

struct Dependency {
    PooledString name;
    Evr evr;           // epoch 0, empty version and release when unversioned
    int32_t flags = 0; // 0 or the sense bits

    Dependency() = default;
    explicit Dependency(PooledString depName, Evr depEvr = {}, int32_t depFlags = 0)
        : name(depName), evr(depEvr), flags(depFlags)
    {
    }

    // "name" or "name <op> epoch:version-release".
    std::string toString() const;

    // True when one and the same package version can meet both entries.
    bool overlaps(const Dependency& other) const;

    // Name, then version order, then flags.
    bool operator<(const Dependency& other) const;
    bool operator==(const Dependency& other) const;
};

// Operator text of a flag word: "<", ">", "=", "<=", ">=", "?" (also for 0).
const char* flagsText(int32_t flags);

// An ordered set of dependency entries without duplicates, stored compactly
// as a sorted vector.
class DependencySet {
public:
    using const_iterator = std::vector<Dependency>::const_iterator;

    // Inserts unless an equal entry is present; returns whether it was added.
    bool insert(const Dependency& dependency);
    bool erase(const Dependency& dependency);
    void clear() { m_entries.clear(); }

    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }

    // The first entry of that name (or end()): the entries of one name follow it.
    const_iterator firstOfName(std::string_view name) const;

    void reserve(size_t count) { m_entries.reserve(count); }
    void shrinkToFit() { m_entries.shrink_to_fit(); }

private:
    std::vector<Dependency> m_entries;
};

} // namespace updater
