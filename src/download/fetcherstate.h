// The settings every URLFetcher shares, made once per process by
// URLFetcher::initClass (internal to the download subsystem).
#pragma once

#include <string>

#include "config/config.h"
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

} // namespace updater
