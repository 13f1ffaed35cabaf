#include "config/xmlreader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/logger.h"

namespace updater {

namespace {

// libxml2's messages are short; a longer one quotes the document at length.
constexpr size_t EXCERPT_LIMIT = 160;
// A metadata file's name comes partly from the repository: it is escaped too.
constexpr size_t FILE_NAME_LIMIT = 4096;

// The context of a reader on an input that logs its own failures is the
// input's failure flag.
void logDiagnostic(void* inputFailed, xmlErrorPtr error)
{
    logXmlDiagnostic(static_cast<const bool*>(inputFailed), error);
}

// Old-style messages come in pieces: each line is logged once it is complete.
void logGenericDiagnostic(void*, const char* format, ...)
{
    static std::string pending;
    char piece[512];
    va_list args;
    va_start(args, format);
    vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    pending += piece;
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty())
            LOG(error, "XML error: %s", printableExcerpt(line.c_str(), EXCERPT_LIMIT).c_str());
    }
    if (pending.size() > EXCERPT_LIMIT)
        pending.clear();
}

XmlReader withHandler(xmlTextReaderPtr reader, const bool* inputFailed)
{
    if (reader)
        xmlTextReaderSetStructuredErrorHandler(reader, logDiagnostic, const_cast<bool*>(inputFailed));
    return XmlReader(reader);
}

} // namespace

void logXmlDiagnostic(const bool* inputFailed, const xmlError* error)
{
    if (!error || (inputFailed && (*inputFailed || error->domain == XML_FROM_IO)))
        return;
    bool warning = error->level == XML_ERR_WARNING;
    LogLevel level = warning ? LogLevel::warn : LogLevel::error;
    if (!logEnabled(level))
        return;
    std::string message = printableExcerpt(error->message ? error->message : "", EXCERPT_LIMIT);
    const char* kind = warning ? "warning" : "error";
    if (error->file)
        logMessage(level, "XML %s in '%s' line %d: %s", kind, printableExcerpt(error->file, FILE_NAME_LIMIT).c_str(),
                   error->line, message.c_str());
    else
        logMessage(level, "XML %s: %s", kind, message.c_str());
}

std::string printableExcerpt(const char* text, size_t limit)
{
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    std::string out;
    size_t i = 0;
    for (; i < length && out.size() < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (i < length)
        out += "...";
    return out;
}

XmlReader openXmlFile(const std::string& path, int options)
{
    return withHandler(xmlReaderForFile(path.c_str(), nullptr, options), nullptr);
}

XmlReader openXmlInput(xmlInputReadCallback read, void* context, const std::string& name, int options,
                       const bool* inputFailed)
{
    return withHandler(xmlReaderForIO(read, nullptr, context, name.c_str(), nullptr, options), inputFailed);
}

void routeXmlDiagnostics()
{
    xmlSetStructuredErrorFunc(nullptr, logDiagnostic);
    xmlSetGenericErrorFunc(nullptr, logGenericDiagnostic);
}

} // namespace updater
