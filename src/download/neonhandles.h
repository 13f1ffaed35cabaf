// Owning handles for the neon objects this program creates: each released
// by the library's own free function.
#pragma once

#include <cstdlib>
#include <memory>

#include <neon/ne_request.h>
#include <neon/ne_session.h>
#include <neon/ne_socket.h>
#include <neon/ne_uri.h>

namespace updater {

struct SessionDeleter {
    void operator()(ne_session* session) const { ne_session_destroy(session); }
};
using NeonSession = std::unique_ptr<ne_session, SessionDeleter>;

struct RequestDeleter {
    void operator()(ne_request* request) const { ne_request_destroy(request); }
};
using NeonRequest = std::unique_ptr<ne_request, RequestDeleter>;

struct InetAddrDeleter {
    void operator()(ne_inet_addr* address) const { ne_iaddr_free(address); }
};
using NeonInetAddr = std::unique_ptr<ne_inet_addr, InetAddrDeleter>;

// Text made by the library (ne_uri_unparse and the like).
struct NeonTextDeleter {
    void operator()(char* text) const { free(text); }
};
using NeonText = std::unique_ptr<char, NeonTextDeleter>;

// A parsed URI whose fields are released with ne_uri_free.
class ParsedUri {
public:
    ParsedUri() = default;
    ~ParsedUri() { ne_uri_free(&m_uri); }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    // Parses `text`, replacing what was held; false on a syntax error.
    [[nodiscard]] bool parse(const char* text)
    {
        ne_uri_free(&m_uri);
        return ne_uri_parse(text, &m_uri) == 0;
    }
    void reset() { ne_uri_free(&m_uri); }

    const ne_uri& get() const { return m_uri; }
    const ne_uri* operator->() const { return &m_uri; }

private:
    ne_uri m_uri{};
};

} // namespace updater
