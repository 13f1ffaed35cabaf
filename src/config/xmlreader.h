// XML readers whose libxml2 diagnostics go through the Logger: one line each,
// naming the document and the line, with libxml2's message cut short and its
// unprintable bytes escaped, so that no raw document bytes reach a log.
#pragma once

#include <string>

#include <libxml/xmlIO.h>

#include "config/xmlnode.h"

namespace updater {

// A reader on a file; null, with nothing logged, when it cannot be opened.
XmlReader openXmlFile(const std::string& path, int options);

// A reader on the bytes that `read` hands out (libxml2's input callback,
// returning -1 on failure), named `name` in its diagnostics. The callback
// logs its own failures and sets `*inputFailed`: from then on the reader's
// diagnostics, which only follow from the cut input, are not logged.
XmlReader openXmlInput(xmlInputReadCallback read, void* context, const std::string& name, int options,
                       const bool* inputFailed);

// Logs one libxml2 diagnostic the way the readers above do: nothing once
// `*inputFailed` (when given) is set, nor for an input error, which the
// input's callback has logged.
void logXmlDiagnostic(const bool* inputFailed, const xmlError* error);

// Routes diagnostics that arise outside a reader through the Logger as well.
// Called once at start-up.
void routeXmlDiagnostics();

// libxml2's message as it is logged: at most `limit` bytes, a trailing line
// break dropped, control and non-ASCII bytes written as \xNN, "..." when cut.
std::string printableExcerpt(const char* text, size_t limit);

} // namespace updater
