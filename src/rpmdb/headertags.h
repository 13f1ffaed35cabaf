// Typed reads of rpm package header tags, shared by the database listing and
// the package signature check. Each reader checks the type and count rpm
// recorded before it touches the data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <rpm/header.h>
#include <rpm/rpmtd.h>

#include "evr/dependency.h"

namespace updater {

struct TagDataFree {
    void operator()(rpmtd td) const
    {
        rpmtdFreeData(td);
        rpmtdFree(td);
    }
};
// One header entry as rpm hands it out: type(), count and data. The data may
// point into the header, so it is valid only while the header is.
using TagData = std::unique_ptr<rpmtd_s, TagDataFree>;

// The entry of `tag`, or null when the header has none.
TagData readTag(Header header, rpmTagVal tag);

// A string entry (type 6) of count 1; anything else logs and fails.
[[nodiscard]] bool readStringTag(Header header, rpmTagVal tag, std::string& value);

// An integer entry of count 1: 8-bit and 16-bit values are unsigned, 32-bit
// ones signed. Anything else logs and fails.
[[nodiscard]] bool readIntTag(Header header, rpmTagVal tag, int32_t& value);

// Adds the requires (nameTag RPMTAG_REQUIRENAME) or provides
// (RPMTAG_PROVIDENAME) of a header to `set`, leaving out rpmlib() and
// missing-ok entries and keeping only the sense bits of the flags. No entries
// at all is success; incomplete or inconsistent arrays log and fail.
[[nodiscard]] bool readDependencies(Header header, rpmTagVal nameTag, DependencySet& set);

} // namespace updater
