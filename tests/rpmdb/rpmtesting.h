// rpm test helpers: headers assembled byte by byte (so that tests can hold
// entries of any type and count, including ones rpm's own put functions
// refuse), headers added to a database by rpm, macro overrides.
#pragma once

#include <cstdint>
#include <memory>

#include <rpm/header.h>
#include <rpm/rpmtag.h>

#include "testing/testing.h"

namespace updater::testing {

struct HeaderFree {
    void operator()(Header header) const { headerFree(header); }
};
using HeaderPtr = std::unique_ptr<headerToken_s, HeaderFree>;

class HeaderBuilder {
public:
    HeaderBuilder() = default;
    // A header with name, version and release.
    HeaderBuilder(const std::string& name, const std::string& version, const std::string& release);

    HeaderBuilder& string(rpmTagVal tag, const std::string& value) { return add(tag, RPM_STRING_TYPE, 1, value + '\0'); }
    HeaderBuilder& strings(rpmTagVal tag, const std::vector<std::string>& values);
    HeaderBuilder& int8(rpmTagVal tag, const std::vector<uint8_t>& values) { return ints(tag, RPM_INT8_TYPE, values); }
    HeaderBuilder& int16(rpmTagVal tag, const std::vector<uint16_t>& values) { return ints(tag, RPM_INT16_TYPE, values); }
    HeaderBuilder& int32(rpmTagVal tag, const std::vector<uint32_t>& values) { return ints(tag, RPM_INT32_TYPE, values); }
    // Name, flags and version arrays of requires or provides.
    using Names = std::vector<std::string>;
    HeaderBuilder& requires_(const Names& names, const std::vector<uint32_t>& flags, const Names& versions)
    {
        return strings(RPMTAG_REQUIRENAME, names).int32(RPMTAG_REQUIREFLAGS, flags).strings(RPMTAG_REQUIREVERSION, versions);
    }
    HeaderBuilder& provides(const Names& names, const std::vector<uint32_t>& flags, const Names& versions)
    {
        return strings(RPMTAG_PROVIDENAME, names).int32(RPMTAG_PROVIDEFLAGS, flags).strings(RPMTAG_PROVIDEVERSION, versions);
    }

    // The header imported by rpm (from a copy of the bytes).
    HeaderPtr header() const;
    // The header as a stream of them holds it (with the header magic), the
    // form "rpmdb --importdb" reads.
    std::string serialized() const;

private:
    struct Entry {
        rpmTagVal tag;
        uint32_t type;
        uint32_t count;
        std::string bytes; // big-endian, as stored
    };
    HeaderBuilder& add(rpmTagVal tag, uint32_t type, uint32_t count, std::string bytes)
    {
        m_entries.push_back({tag, type, count, std::move(bytes)});
        return *this;
    }
    // Big-endian values of the type's width.
    template <typename T>
    HeaderBuilder& ints(rpmTagVal tag, uint32_t type, const std::vector<T>& values)
    {
        std::string bytes;
        for (T value : values)
            for (int shift = 8 * (static_cast<int>(sizeof(T)) - 1); shift >= 0; shift -= 8)
                bytes += static_cast<char>((value >> shift) & 0xff);
        return add(tag, type, static_cast<uint32_t>(values.size()), bytes);
    }
    std::string blob() const;

    std::vector<Entry> m_entries;
};

// Adds the headers to the database in dbpath (creating it) the way rpm adds
// any header, with "rpmdb --importdb".
void importHeaders(const std::string& dbpath, const std::vector<HeaderBuilder>& headers);

// Overrides an rpm macro while it lives.
class Macro {
public:
    Macro(const char* name, const std::string& value);
    ~Macro();
    Macro(const Macro&) = delete;
    Macro& operator=(const Macro&) = delete;

private:
    const char* m_name;
};

} // namespace updater::testing
