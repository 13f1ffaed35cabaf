// Progress of a batch of downloads (the metadata files of an update, the
// packages of a fetch), logged at most once a minute.
#pragma once

#include "download/downloader.h"

namespace updater {

class ItemNotify : public URLFetcher::Notifier {
public:
    // Seconds on a clock that only moves forward.
    using Clock = long long (*)();

    explicit ItemNotify(int total);
    ~ItemNotify() override = default;

    // Called by neon on every session event; the event itself is ignored.
    void notify(ne_session_status status, const ne_session_status_info* info) override;
    // Counts one completed item and reports.
    void itemDone();

    // Replaces the clock of every notifier (tests); null restores the real one.
    static void setClock(Clock clock);

    int total;
    int done = 0;
    bool progressShown = false; // a progress line has been logged
    bool finished = false;      // the final line has been logged
    long long lastReport;       // creation, then the last progress line

private:
    void report();
};

} // namespace updater
