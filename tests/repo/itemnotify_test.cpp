// Progress lines of a download batch, against a clock the test moves.

#include "repo/itemnotify.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

long long fakeNow = 1000;
long long fakeClock() { return fakeNow; }

class ItemNotifyTest : public ::testing::Test {
protected:
    ItemNotifyTest() { ItemNotify::setClock(fakeClock); }
    ~ItemNotifyTest() override { ItemNotify::setClock(nullptr); }

    // A session event, as neon reports it during a download.
    static void event(ItemNotify& notifier) { notifier.notify(ne_status_recving, nullptr); }

    LogCapture capture{LogLevel::info};
};

TEST_F(ItemNotifyTest, ProgressAtMostOnceAMinuteThenTheFinalLineOnce)
{
    ItemNotify notifier(3);
    fakeNow += 60;
    event(notifier);
    event(notifier); // same second: no second line
    notifier.itemDone();
    fakeNow += 59;
    notifier.itemDone();
    fakeNow += 1;
    event(notifier);
    notifier.itemDone();
    event(notifier);
    notifier.itemDone(); // more items than announced change nothing after the final line
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "INFO: downloading... (0/3)",
                                   "INFO: downloading... (2/3)",
                                   "INFO: downloaded (3/3)",
                               }));
    EXPECT_TRUE(notifier.finished);
}

} // namespace
} // namespace updater::testing
