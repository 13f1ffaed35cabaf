#include "platform/hash.h"

#include <cstdlib>
#include <cstring>
#include <rpm/rpmbase64.h>
#include <rpm/rpmcrypto.h>
#include <rpm/rpmpgp.h>

namespace updater {

namespace {

const HashFunction functions[] = {
    {"MD5", PGPHASHALGO_MD5, 16},
    {"SHA-1", PGPHASHALGO_SHA1, 20},
    {"SHA-224", PGPHASHALGO_SHA224, 28},
    {"SHA-256", PGPHASHALGO_SHA256, 32},
    {"SHA-384", PGPHASHALGO_SHA384, 48},
    {"SHA-512", PGPHASHALGO_SHA512, 64},
};

bool cryptoReady()
{
    static const bool ready = rpmInitCrypto() == 0;
    return ready;
}

} // namespace

const HashFunction* hashFunctionFind(const char* name)
{
    for (const auto& function : functions) {
        if (strcmp(function.name, name) == 0)
            return &function;
    }
    return nullptr;
}

HashContext::~HashContext()
{
    if (m_ctx)
        rpmDigestFinal(static_cast<DIGEST_CTX>(m_ctx), nullptr, nullptr, 0);
}

bool HashContext::init(const HashFunction& function)
{
    if (m_ctx || !cryptoReady())
        return false;
    m_ctx = rpmDigestInit(function.algorithm, RPMDIGEST_NONE);
    return m_ctx != nullptr;
}

bool HashContext::update(const void* data, size_t length)
{
    return m_ctx && rpmDigestUpdate(static_cast<DIGEST_CTX>(m_ctx), data, length) == 0;
}

bool HashContext::digest(std::vector<unsigned char>& out)
{
    if (!m_ctx)
        return false;
    void* bytes = nullptr;
    size_t length = 0;
    int rc = rpmDigestFinal(static_cast<DIGEST_CTX>(m_ctx), &bytes, &length, 0);
    m_ctx = nullptr;
    if (rc != 0 || !bytes)
        return false;
    out.assign(static_cast<unsigned char*>(bytes), static_cast<unsigned char*>(bytes) + length);
    free(bytes);
    return true;
}

bool b64decode(const std::string& text, std::vector<uint8_t>& out)
{
    void* bytes = nullptr;
    size_t length = 0;
    if (rpmBase64Decode(text.c_str(), &bytes, &length) != 0 || !bytes)
        return false;
    out.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + length);
    free(bytes);
    return true;
}

} // namespace updater
