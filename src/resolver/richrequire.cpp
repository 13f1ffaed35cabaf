// Rich requires: met by the system after the update, or broken into the
// plain parts that a pull can meet.
#include "resolver/richrequire.h"

#include <algorithm>

#include "log/logger.h"

namespace updater {
namespace {

bool packageProvides(const Package& package, const Dependency& term)
{
    const DependencySet& provides = package.provides;
    for (auto entry = provides.firstOfName(term.name.view()); entry != provides.end() && entry->name == term.name;
         ++entry) {
        if (entry->overlaps(term))
            return true;
    }
    return false;
}

// One package on its own meets a plain entry, or an or, with or without
// expression of them (the parser admits nothing else inside with and without).
bool packageMeets(const RichExpression& expression, const Package& package)
{
    const auto& operands = expression.operands;
    auto meets = [&](const RichExpression& operand) { return packageMeets(operand, package); };
    switch (expression.op) {
    case RichOp::single:
        return isFileRequire(expression.term) || packageProvides(package, expression.term);
    case RichOp::or_:
        return std::ranges::any_of(operands, meets);
    case RichOp::with:
        return std::ranges::all_of(operands, meets);
    case RichOp::without:
        return meets(operands[0]) && !meets(operands[1]);
    default:
        return false;
    }
}

// Who may meet the parts of an expression: the system after the update and,
// when a pull looks ahead, the repository packages it could take.
struct Providers {
    const FutureSystem& system;
    const std::vector<const Package*>* candidates = nullptr;

    bool anyCandidate(auto&& predicate) const { return candidates && std::ranges::any_of(*candidates, predicate); }

    bool meetTerm(const Dependency& term) const
    {
        return isFileRequire(term) || isProvided(system.provides, term) ||
               anyCandidate([&](const Package* p) { return packageProvides(*p, term); });
    }
    bool onePackageMeets(const RichExpression& expression) const
    {
        auto meets = [&](const Package* p) { return packageMeets(expression, *p); };
        return std::ranges::any_of(system.packages, meets) || anyCandidate(meets);
    }
};

bool evaluate(const RichExpression& expression, const Providers& providers);

// The part of an if or unless expression that the condition selects, the
// condition judged on the system after the update; null when none is required.
const RichExpression* chosenBranch(const RichExpression& expression, const FutureSystem& system)
{
    bool condition = evaluate(expression.operands[1], Providers{system});
    if (expression.op == RichOp::unless)
        condition = !condition;
    if (condition)
        return &expression.operands[0];
    return expression.operands.size() > 2 ? &expression.operands[2] : nullptr;
}

bool evaluate(const RichExpression& expression, const Providers& providers)
{
    auto holds = [&](const RichExpression& operand) { return evaluate(operand, providers); };
    switch (expression.op) {
    case RichOp::single:
        return providers.meetTerm(expression.term);
    case RichOp::and_:
        return std::ranges::all_of(expression.operands, holds);
    case RichOp::or_:
        return std::ranges::any_of(expression.operands, holds);
    case RichOp::if_:
    case RichOp::unless: {
        const RichExpression* branch = chosenBranch(expression, providers.system);
        return !branch || holds(*branch);
    }
    case RichOp::with:
    case RichOp::without:
        return providers.onePackageMeets(expression);
    }
    return false;
}

} // namespace

bool richRequireMet(const Dependency& require, const FutureSystem& system)
{
    RichExpression expression;
    return parseRichDependency(require.name.view(), expression) && evaluate(expression, Providers{system});
}

RichPull::RichPull(const PackageCollection& repository, const NewPackages& newPackages, const FutureSystem& system)
    : m_repository(repository), m_newPackages(newPackages), m_system(system)
{
}

void RichPull::collect(UnsatisfiedSet& unsatisfied)
{
    for (auto open = unsatisfied.lower_bound(std::string_view("("));
         open != unsatisfied.end() && isRichDependency(open->name.view());) {
        Need& need = m_needs.emplace_back();
        need.require = *open;
        if (!parseRichDependency(open->name.view(), need.expression)) {
            m_needs.pop_back(); // stays open
            ++open;
            continue;
        }
        if (evaluate(need.expression, Providers{m_system})) {
            LOG(debug, "removing require '%s', provided by pulled package", open->toString().c_str());
            m_needs.pop_back();
            open = unsatisfied.erase(open);
            continue;
        }
        addParts(need.expression, need);
        need.met.assign(need.parts.size(), false);
        ++open;
    }
}

// The parts that still need a package: what `and` joins, the first operand
// of an `or` that can be met, the selected branch of `if` and `unless`.
void RichPull::addParts(const RichExpression& expression, Need& need)
{
    if (evaluate(expression, Providers{m_system}))
        return;
    switch (expression.op) {
    case RichOp::single:
    case RichOp::with:
    case RichOp::without:
        need.parts.push_back(&expression);
        return;
    case RichOp::and_:
        for (const RichExpression& operand : expression.operands)
            addParts(operand, need);
        return;
    case RichOp::or_:
        for (const RichExpression& operand : expression.operands) {
            if (evaluate(operand, Providers{m_system, &candidates()})) {
                addParts(operand, need);
                return;
            }
        }
        need.parts.push_back(nullptr); // nothing can meet it: the require stays open
        return;
    case RichOp::if_:
    case RichOp::unless:
        if (const RichExpression* branch = chosenBranch(expression, m_system))
            addParts(*branch, need);
        return;
    }
}

// The best package of every name that is not yet among the new packages.
const std::vector<const Package*>& RichPull::candidates()
{
    if (m_candidates)
        return *m_candidates;
    m_candidates.emplace();
    for (auto first = m_repository.begin(); first != m_repository.end();) {
        PackageRange run = nameRun(m_repository, first);
        first = run.end();
        if (!m_newPackages.contains(run.begin()->first))
            m_candidates->push_back(&bestPackage(run));
    }
    return *m_candidates;
}

unsigned RichPull::pull(const Package& best, UnsatisfiedSet& unsatisfied, NewPackages& newPackages)
{
    unsigned helped = 0;
    for (Need& need : m_needs) {
        if (need.done)
            continue;
        bool meetsPart = false;
        for (size_t i = 0; i < need.parts.size(); ++i) {
            if (!need.met[i] && need.parts[i] && packageMeets(*need.parts[i], best)) {
                need.met[i] = true;
                meetsPart = true;
            }
        }
        if (!meetsPart)
            continue;
        LOG(debug, "pulling package %s to satisfy '%s'", best.label().c_str(), need.require.toString().c_str());
        ++helped;
        newPackages.try_emplace(best.name.view(), best);
        if (std::ranges::find(need.met, false) == need.met.end()) {
            need.done = true;
            LOG(debug, "removing require '%s', provided by pulled package", need.require.toString().c_str());
            unsatisfied.erase(need.require);
        }
    }
    return helped;
}

} // namespace updater
