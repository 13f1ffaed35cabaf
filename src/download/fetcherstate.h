// The settings every URLFetcher shares, made once per process by
// URLFetcher::initClass, and the state of one request (internal to the
// download subsystem).
#pragma once

#include <string>

#include "config/config.h"
#include "download/bodywriter.h"
#include "download/connectionwatch.h"
#include "download/downloader.h"
#include "identity/credentials.h"

namespace updater {

struct URLFetcher::ClassState {
    bool initialised = false;
    NetworkSettings network;
    DownloadSettings download;
    std::string userAgent;
    NetCredentials defaults{ne_uri{}}; // at most the device's default entry
};

// A request on its way: where its body goes, and what watches its connection.
struct Transfer {
    ne_session* session;
    BodyWriter& writer;
    ConnectionWatch& watch;
    int statusClass = 0; // of the response whose body is arriving
};

} // namespace updater
