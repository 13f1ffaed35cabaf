#include "evr/pooledstring.h"

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace updater {

namespace {

// Strings live in chunks, each as a 32-bit length, the bytes and a NUL. A
// handle is the chunk number and the offset of the bytes in it, so reaching a
// text takes no lookup table. An open-addressing table of handles finds an
// existing copy; each slot keeps 32 bits of the text's hash, so that probing
// and growing rarely touch the texts themselves.
class StringPool {
public:
    StringPool() { m_slots.assign(1024, Slot{}); }

    uint32_t intern(std::string_view text)
    {
        if (text.empty())
            return 0;
        uint64_t h = hash(text);
        // Recently seen texts (versions, common requires) are found in a
        // small cache without touching the large table.
        Recent& recent = m_recent[h & (RECENT_SIZE - 1)];
        if (recent.hash == h && recent.id && view(recent.id) == text)
            return recent.id;
        uint32_t id = lookupOrInsert(text, static_cast<uint32_t>(h));
        recent = Recent{h, id};
        return id;
    }

    std::string_view view(uint32_t id) const
    {
        if (id == 0)
            return {};
        const char* bytes = c_str(id);
        uint32_t length;
        memcpy(&length, bytes - sizeof length, sizeof length);
        return {bytes, length};
    }

    const char* c_str(uint32_t id) const
    {
        return id == 0 ? "" : m_chunks[id >> OFFSET_BITS].get() + (id & OFFSET_MASK);
    }

    // Stores a text without looking for an equal one.
    const char* storeUnique(std::string_view text) { return c_str(store(text)); }

    size_t bytes() const { return m_chunkBytes + m_slots.capacity() * sizeof(Slot); }

private:
    static constexpr unsigned OFFSET_BITS = 20; // 1 MiB chunks, 4096 of them
    static constexpr uint32_t OFFSET_MASK = (1u << OFFSET_BITS) - 1;
    static constexpr size_t CHUNK_SIZE = size_t{1} << OFFSET_BITS;
    static constexpr size_t RECENT_SIZE = 4096;

    struct Slot {
        uint32_t id = 0;   // 0: free
        uint32_t hash = 0; // low hash bits
    };
    struct Recent {
        uint64_t hash = 0;
        uint32_t id = 0;
    };

    static uint64_t hash(std::string_view text) { return std::hash<std::string_view>{}(text); }

    uint32_t lookupOrInsert(std::string_view text, uint32_t h)
    {
        size_t mask = m_slots.size() - 1;
        size_t slot = h & mask;
        while (uint32_t id = m_slots[slot].id) {
            if (m_slots[slot].hash == h && view(id) == text)
                return id;
            slot = (slot + 1) & mask;
        }
        uint32_t id = store(text);
        m_slots[slot] = Slot{id, h};
        if (++m_count * 10 > m_slots.size() * 7)
            grow();
        return id;
    }

    // Appends the text; gives its handle. A text longer than a chunk gets a
    // chunk of its own, where its bytes still start at a small offset.
    uint32_t store(std::string_view text)
    {
        size_t need = sizeof(uint32_t) + text.size() + 1;
        if (m_chunks.empty() || m_used + need > m_chunkCapacity) {
            if (m_chunks.size() > (UINT32_MAX >> OFFSET_BITS))
                throw std::bad_alloc();
            m_chunkCapacity = need > CHUNK_SIZE ? need : CHUNK_SIZE;
            m_chunks.emplace_back(new char[m_chunkCapacity]);
            m_chunkBytes += m_chunkCapacity;
            m_used = 0;
        }
        char* at = m_chunks.back().get() + m_used;
        auto length = static_cast<uint32_t>(text.size());
        memcpy(at, &length, sizeof length);
        memcpy(at + sizeof length, text.data(), text.size());
        at[sizeof length + text.size()] = '\0';
        auto chunk = static_cast<uint32_t>(m_chunks.size() - 1);
        auto offset = static_cast<uint32_t>(m_used + sizeof length);
        m_used += need;
        return chunk << OFFSET_BITS | offset;
    }

    void grow()
    {
        std::vector<Slot> slots(m_slots.size() * 2, Slot{});
        size_t mask = slots.size() - 1;
        for (const Slot& old : m_slots) {
            if (!old.id)
                continue;
            size_t slot = old.hash & mask;
            while (slots[slot].id)
                slot = (slot + 1) & mask;
            slots[slot] = old;
        }
        m_slots.swap(slots);
    }

    std::vector<std::unique_ptr<char[]>> m_chunks;
    size_t m_chunkCapacity = 0;
    size_t m_used = 0;
    size_t m_chunkBytes = 0;
    size_t m_count = 0;
    std::vector<Slot> m_slots;
    std::vector<Recent> m_recent = std::vector<Recent>(RECENT_SIZE);
};

StringPool& pool()
{
    static StringPool* instance = new StringPool; // lives until exit, never torn down
    return *instance;
}

} // namespace

PooledString::PooledString(std::string_view text) : m_id(pool().intern(text)) {}

std::string_view PooledString::view() const
{
    return pool().view(m_id);
}

const char* PooledString::c_str() const
{
    return pool().c_str(m_id);
}

StoredString::StoredString(std::string_view text) : m_text(text.empty() ? nullptr : pool().storeUnique(text)) {}

std::string_view StoredString::view() const
{
    if (!m_text)
        return {};
    uint32_t length;
    memcpy(&length, m_text - sizeof length, sizeof length);
    return {m_text, length};
}

size_t pooledStringBytes()
{
    return pool().bytes();
}

} // namespace updater
