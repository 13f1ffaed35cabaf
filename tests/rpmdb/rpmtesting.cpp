#include "rpmtesting.h"

#include <algorithm>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>

#include "testing/testing.h"

namespace updater::testing {

namespace {

void appendBigEndian(std::string& out, uint32_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

} // namespace

HeaderBuilder::HeaderBuilder(const std::string& name, const std::string& version, const std::string& release)
{
    string(RPMTAG_NAME, name).string(RPMTAG_VERSION, version).string(RPMTAG_RELEASE, release);
}

HeaderBuilder& HeaderBuilder::strings(rpmTagVal tag, const std::vector<std::string>& values)
{
    std::string bytes;
    for (const std::string& value : values)
        bytes += value + '\0';
    return add(tag, RPM_STRING_ARRAY_TYPE, static_cast<uint32_t>(values.size()), bytes);
}

std::string HeaderBuilder::blob() const
{
    std::vector<Entry> entries = m_entries;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    std::string index, data;
    for (const Entry& entry : entries) {
        while (data.size() % (entry.type == RPM_INT16_TYPE ? 2 : entry.type == RPM_INT32_TYPE ? 4 : 1))
            data += '\0';
        appendBigEndian(index, static_cast<uint32_t>(entry.tag), 4);
        appendBigEndian(index, entry.type, 4);
        appendBigEndian(index, static_cast<uint32_t>(data.size()), 4);
        appendBigEndian(index, entry.count, 4);
        data += entry.bytes;
    }
    std::string out;
    appendBigEndian(out, static_cast<uint32_t>(entries.size()), 4);
    appendBigEndian(out, static_cast<uint32_t>(data.size()), 4);
    return out + index + data;
}

HeaderPtr HeaderBuilder::header() const
{
    std::string bytes = blob();
    return HeaderPtr(headerImport(bytes.data(), static_cast<unsigned int>(bytes.size()), HEADERIMPORT_COPY));
}

std::string HeaderBuilder::serialized() const
{
    static const char magic[8] = {'\x8e', '\xad', '\xe8', '\x01', 0, 0, 0, 0};
    return std::string(magic, sizeof(magic)) + blob();
}

void importHeaders(const std::string& dbpath, const std::vector<HeaderBuilder>& headers)
{
    TemporaryDirectory dir;
    std::string stream;
    for (const HeaderBuilder& header : headers)
        stream += header.serialized();
    writeFile(dir.file("headers"), stream);
    runCommand("rpmdb --dbpath " + dbpath + " --importdb < " + dir.file("headers"));
}

Macro::Macro(const char* name, const std::string& value) : m_name(name)
{
    rpmPushMacro(nullptr, name, nullptr, value.c_str(), RMIL_CMDLINE);
}

Macro::~Macro()
{
    rpmPopMacro(nullptr, m_name);
}

} // namespace updater::testing
