#include "repo/itemnotify.h"

#include <ctime>

#include "log/logger.h"

namespace updater {

namespace {

// A progress line at most once a minute.
constexpr long long REPORT_INTERVAL = 59;

// Monotonic: a wall clock set at boot would stall or rush the reports.
long long monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

ItemNotify::Clock currentClock = monotonicSeconds;

} // namespace

ItemNotify::ItemNotify(int itemCount) : total(itemCount), lastReport(currentClock()) {}

void ItemNotify::setClock(Clock clock) { currentClock = clock ? clock : monotonicSeconds; }

void ItemNotify::notify(ne_session_status, const ne_session_status_info*) { report(); }

void ItemNotify::itemDone()
{
    ++done;
    report();
}

void ItemNotify::report()
{
    if (finished)
        return;
    if (done == total && progressShown) {
        finished = true;
        LOG(info, "downloaded (%i/%i)", done, done);
        return;
    }
    long long now = currentClock();
    if (now > lastReport + REPORT_INTERVAL) {
        LOG(info, "downloading... (%i/%i)", done, total);
        lastReport = now;
        progressShown = true;
    }
}

} // namespace updater
