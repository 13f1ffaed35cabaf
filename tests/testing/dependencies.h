// Dependencies written as rpm prints them: "name", or "name op evr" with op
// one of < > = <= >=, or a rich dependency "(...)" kept whole as its name.
// Header only: for tests that link updater_evr.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "evr/dependency.h"

namespace updater::testing {

inline Dependency parseDependency(const std::string& text)
{
    if (text.starts_with('('))
        return Dependency(PooledString(text));
    static const std::pair<const char*, int32_t> operators[] = {
        {"<", LESS}, {">", GREATER}, {"=", EQUAL}, {"<=", LESS | EQUAL}, {">=", GREATER | EQUAL}};
    std::istringstream in(text);
    std::string name, op, evr, rest;
    in >> name >> op >> evr >> rest;
    if (!name.empty() && op.empty())
        return Dependency(PooledString(name));
    for (const auto& [symbol, flags] : operators) {
        if (op == symbol && !evr.empty() && rest.empty())
            return Dependency(PooledString(name), Evr::parse(evr), flags);
    }
    throw std::invalid_argument("bad dependency '" + text + "'");
}

} // namespace updater::testing
