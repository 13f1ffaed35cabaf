// Progress lines of a download batch, against a clock the test moves.
#include "repo/itemnotify.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

long long fakeNow = 1000;

TEST(ItemNotify, ProgressAtMostOnceAMinuteThenTheFinalLineOnce)
{
    ItemNotify::setClock([] { return fakeNow; });
    LogCapture capture(LogLevel::info);
    ItemNotify notifier(3);
    const auto event = [&] { notifier.notify(ne_status_recving, nullptr); }; // as neon reports a download
    fakeNow += 60;
    event();
    event(); // same second: no second line
    notifier.itemDone();
    fakeNow += 59;
    notifier.itemDone();
    fakeNow += 1;
    event();
    notifier.itemDone();
    event();
    notifier.itemDone(); // more items than announced change nothing after the final line
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"INFO: downloading... (0/3)", "INFO: downloading... (2/3)",
                                                         "INFO: downloaded (3/3)"}));
    EXPECT_TRUE(notifier.finished);
    ItemNotify::setClock(nullptr);
}

} // namespace
} // namespace updater::testing
