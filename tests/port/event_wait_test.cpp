// The shared wait on descriptors.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "port/event_wait.h"

// With no descriptor to wait on (none could be made), a wait without limit
// ends by itself instead of holding its thread for good.
TEST(EventWait, WaitOnNoDescriptorsWithoutLimitEnds)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    // Detached: should the wait hang, the test fails instead of hanging too.
    std::thread([done] {
        const int none[] = {-1, -1};
        wait_for_any_readable(none, 2, -1);
        done->set_value();
    }).detach();
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}
