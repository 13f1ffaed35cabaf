// Rich requires evaluated against the system after the update, and what a
// pull takes to meet those that stay open (internal to the resolver).
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "evr/richdependency.h"
#include "resolver/futuresystem.h"

namespace updater {

// True when the system meets the rich require; false also when its text is
// malformed. File paths in it count as met, as plain file requires do.
bool richRequireMet(const Dependency& require, const FutureSystem& system);

// What would meet the open rich requires of one pull: for an `or`, the first
// operand that the system or a repository package could meet; for `if` and
// `unless`, the part that the system's condition selects. Repository
// packages meet these parts as they meet plain requires.
class RichPull {
public:
    RichPull(const PackageCollection& repository, const NewPackages& newPackages, const FutureSystem& system);

    // Takes the open rich requires; erases those the system now meets.
    void collect(UnsatisfiedSet& unsatisfied);
    bool empty() const { return m_needs.empty(); }

    // Pulls `best` for each open rich require that it helps to meet, and
    // erases the requires whose parts are all met. Counts the requires it helped.
    unsigned pull(const Package& best, UnsatisfiedSet& unsatisfied, NewPackages& newPackages);

private:
    struct Need {
        Dependency require;
        RichExpression expression;
        std::vector<const RichExpression*> parts; // plain entries, with and without expressions
        std::vector<bool> met;
        bool done = false;
    };

    void addParts(const RichExpression& expression, Need& need);
    const std::vector<const Package*>& candidates();

    const PackageCollection& m_repository;
    const NewPackages& m_newPackages;
    const FutureSystem& m_system;
    std::deque<Need> m_needs; // parts point into the expressions: no moves
    std::optional<std::vector<const Package*>> m_candidates;
};

} // namespace updater
