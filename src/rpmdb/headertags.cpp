#include "rpmdb/headertags.h"

#include <rpm/rpmds.h>
#include <rpm/rpmtag.h>

#include "log/logger.h"

namespace updater {

namespace {

// rpmlib(feature) requirements are met by rpm itself; missing-ok ones are hints.
constexpr uint32_t IGNORED_DEPENDENCY = RPMSENSE_RPMLIB | RPMSENSE_MISSINGOK;

struct DependencyTags {
    rpmTagVal flags;
    rpmTagVal version;
};

bool companionTags(rpmTagVal nameTag, DependencyTags& tags)
{
    switch (nameTag) {
    case RPMTAG_REQUIRENAME:
        tags = {RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION};
        return true;
    case RPMTAG_PROVIDENAME:
        tags = {RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION};
        return true;
    default:
        LOG(error, "unrecognized dependency tag %i", static_cast<int>(nameTag));
        return false;
    }
}

bool isArray(const TagData& data, rpmTagType type, rpm_count_t count)
{
    return data && rpmtdType(data.get()) == type && rpmtdCount(data.get()) == count;
}

Dependency makeDependency(const char* name, const char* version, uint32_t flags)
{
    Evr evr = version && *version ? Evr::parse(version) : Evr{};
    return Dependency(PooledString(name), evr, static_cast<int32_t>(flags) & SENSE_MASK);
}

} // namespace

TagData readTag(Header header, rpmTagVal tag)
{
    TagData data(rpmtdNew());
    // MINMEM: arrays of strings point into the header instead of being copied.
    if (!data || !headerGet(header, tag, data.get(), HEADERGET_MINMEM))
        return nullptr;
    return data;
}

bool readStringTag(Header header, rpmTagVal tag, std::string& value)
{
    TagData data = readTag(header, tag);
    if (!data || rpmtdType(data.get()) != RPM_STRING_TYPE || rpmtdCount(data.get()) != 1 || !data->data) {
        LOG(error, "failed retrieving rpm tag %i as string", static_cast<int>(tag));
        return false;
    }
    value = static_cast<const char*>(data->data);
    return true;
}

bool readIntTag(Header header, rpmTagVal tag, int32_t& value)
{
    TagData data = readTag(header, tag);
    if (data && rpmtdCount(data.get()) == 1 && data->data) {
        switch (rpmtdType(data.get())) {
        case RPM_INT8_TYPE:
            value = *static_cast<const uint8_t*>(data->data);
            return true;
        case RPM_INT16_TYPE:
            value = *static_cast<const uint16_t*>(data->data);
            return true;
        case RPM_INT32_TYPE:
            value = *static_cast<const int32_t*>(data->data);
            return true;
        default:
            break;
        }
    }
    LOG(error, "failed retrieving rpm tag %i as int", static_cast<int>(tag));
    return false;
}

bool readDependencies(Header header, rpmTagVal nameTag, DependencySet& set)
{
    DependencyTags tags;
    if (!companionTags(nameTag, tags))
        return false;
    TagData names = readTag(header, nameTag);
    TagData flags = readTag(header, tags.flags);
    TagData versions = readTag(header, tags.version);
    if (!names && !flags && !versions)
        return true;
    rpm_count_t count = names ? rpmtdCount(names.get()) : 0;
    if (!isArray(names, RPM_STRING_ARRAY_TYPE, count) || !isArray(flags, RPM_INT32_TYPE, count) ||
        !isArray(versions, RPM_STRING_ARRAY_TYPE, count)) {
        LOG(error, "failed retrieving rpm dependencies");
        return false;
    }

    auto nameTexts = static_cast<const char* const*>(names->data);
    auto flagWords = static_cast<const uint32_t*>(flags->data);
    auto versionTexts = static_cast<const char* const*>(versions->data);
    for (rpm_count_t i = 0; i < count; ++i) {
        if (flagWords[i] & IGNORED_DEPENDENCY)
            continue;
        Dependency dependency = makeDependency(nameTexts[i], versionTexts[i], flagWords[i]);
        LOG(trace, "%s %s 0x%x => %s", nameTexts[i], versionTexts[i] ? versionTexts[i] : "", flagWords[i],
            dependency.toString().c_str());
        set.insert(dependency);
    }
    return true;
}

} // namespace updater
