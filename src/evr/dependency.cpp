#include "evr/dependency.h"

#include <algorithm>

namespace updater {

const char* flagsText(int32_t flags)
{
    switch (flags & SENSE_MASK) {
    case LESS:
        return "<";
    case GREATER:
        return ">";
    case EQUAL:
        return "=";
    case LESS | EQUAL:
        return "<=";
    case GREATER | EQUAL:
        return ">=";
    default:
        return "?";
    }
}

std::string Dependency::toString() const
{
    if (evr.version.empty())
        return name.str();
    std::string text = name.str();
    text += ' ';
    text += flagsText(flags);
    text += ' ';
    text += evr.toString();
    return text;
}

bool Dependency::overlaps(const Dependency& other) const
{
    if (!(name == other.name))
        return false;
    if (flags == 0 || other.flags == 0)
        return true;
    if (evr.version.empty() || other.evr.version.empty())
        return true;

    int sense;
    if (evr.epoch != other.evr.epoch) {
        sense = evr.epoch < other.evr.epoch ? -1 : 1;
    } else {
        sense = compareVersionText(evr.version, other.evr.version);
        if (sense == 0 && !evr.release.empty() && !other.evr.release.empty())
            sense = compareVersionText(evr.release, other.evr.release);
    }

    if (sense < 0)
        return (flags & GREATER) || (other.flags & LESS);
    if (sense > 0)
        return (flags & LESS) || (other.flags & GREATER);
    return ((flags & LESS) && (other.flags & LESS)) || ((flags & EQUAL) && (other.flags & EQUAL)) ||
           ((flags & GREATER) && (other.flags & GREATER));
}

bool Dependency::operator<(const Dependency& other) const
{
    int byName = name.compare(other.name);
    if (byName != 0)
        return byName < 0;
    int byEvr = evr.compare(other.evr);
    if (byEvr != 0)
        return byEvr < 0;
    return flags < other.flags;
}

bool Dependency::operator==(const Dependency& other) const
{
    return !(*this < other) && !(other < *this);
}

bool DependencySet::insert(const Dependency& dependency)
{
    // Entries usually arrive in order: append without searching.
    if (m_entries.empty() || m_entries.back() < dependency) {
        m_entries.push_back(dependency);
        return true;
    }
    auto at = std::lower_bound(m_entries.begin(), m_entries.end(), dependency);
    if (at != m_entries.end() && !(dependency < *at))
        return false;
    m_entries.insert(at, dependency);
    return true;
}

bool DependencySet::erase(const Dependency& dependency)
{
    auto at = std::lower_bound(m_entries.begin(), m_entries.end(), dependency);
    if (at == m_entries.end() || dependency < *at)
        return false;
    m_entries.erase(at);
    return true;
}

DependencySet::const_iterator DependencySet::firstOfName(std::string_view name) const
{
    auto first = std::lower_bound(m_entries.begin(), m_entries.end(), name, [](const Dependency& entry, std::string_view key) {
        return entry.name.view() < key;
    });
    return first != m_entries.end() && first->name == name ? first : m_entries.end();
}

} // namespace updater
