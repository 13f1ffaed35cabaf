// Epoch-version-release values and their order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "evr/pooledstring.h"

namespace updater {

struct Evr {
    int32_t epoch = 0;
    PooledString version; // empty: no version at all
    PooledString release;

    // Parses "epoch:version-release"; never fails, logs what it had to guess.
    static Evr parse(std::string_view text);

    // "epoch:version[-release]", or the empty text when there is no version.
    std::string toString() const;

    // Negative, 0 or positive: this is older, equal or newer.
    int compare(const Evr& other) const;
};

// rpmvercmp, skipping the call for identical texts.
int compareVersionText(const PooledString& a, const PooledString& b);

} // namespace updater
