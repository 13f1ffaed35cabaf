// Interned byte strings. Package metadata repeats the same names and version
// texts across tens of thousands of dependency entries; each distinct text is
// stored once for the life of the process and referred to by a 32-bit handle.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace updater {

class PooledString {
public:
    PooledString() = default; // the empty text
    explicit PooledString(std::string_view text);
    PooledString(const char* text) : PooledString(std::string_view(text ? text : "")) {}
    PooledString(const std::string& text) : PooledString(std::string_view(text)) {}

    std::string_view view() const;
    const char* c_str() const; // NUL-terminated, valid for the life of the process
    std::string str() const { return std::string(view()); }
    size_t size() const { return view().size(); }
    bool empty() const { return m_id == 0; }
    operator std::string_view() const { return view(); }

    // Equal texts have equal handles.
    bool operator==(const PooledString& other) const { return m_id == other.m_id; }
    bool operator==(std::string_view text) const { return view() == text; }
    // Byte-wise order, shorter first on a common prefix.
    int compare(const PooledString& other) const
    {
        return m_id == other.m_id ? 0 : view().compare(other.view());
    }

private:
    uint32_t m_id = 0;
};

// A byte string kept for the life of the process without deduplication, for
// texts that are unique anyway (package locations, cache paths, checksums):
// they stay out of the interning table, which keeps that table small.
class StoredString {
public:
    StoredString() = default; // the empty text
    explicit StoredString(std::string_view text);
    StoredString(const char* text) : StoredString(std::string_view(text ? text : "")) {}
    StoredString(const std::string& text) : StoredString(std::string_view(text)) {}

    std::string_view view() const;
    const char* c_str() const { return m_text ? m_text : ""; }
    std::string str() const { return std::string(view()); }
    size_t size() const { return view().size(); }
    bool empty() const { return m_text == nullptr; }
    operator std::string_view() const { return view(); }
    bool operator==(std::string_view text) const { return view() == text; }

private:
    const char* m_text = nullptr; // length-prefixed in the pool's storage; null when empty
};

// Bytes held by the pool (for the benchmarks' memory figures).
size_t pooledStringBytes();

} // namespace updater
