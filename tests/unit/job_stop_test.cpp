// What asks a console job to stop: the signals of a polite end, and on
// Windows the console's events, whose close handler holds the process until
// the job has saved.
#include "cli/job_stop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "engine/move_job.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
TEST(JobStopTest, ConsoleEventsStopTheJobAndACloseWaitsForItsSave) {
    arm_job_stop();
    cancelRequested.store(0);
    EXPECT_TRUE(console_event(CTRL_BREAK_EVENT));
    EXPECT_EQ(cancelRequested.load(), 1);

    // The process ends as soon as a close handler returns: only after the save.
    for (const unsigned long event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT}) {
        arm_job_stop();
        cancelRequested.store(0);
        const double started = platform::monotonic_seconds();
        std::thread job([&] {
            while (cancelRequested.load() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the save
            job_stop_done();
        });
        EXPECT_TRUE(console_event(event));
        const double waited = platform::monotonic_seconds() - started;
        job.join();
        EXPECT_GE(waited, 0.35) << event;
        EXPECT_LT(waited, CONSOLE_CLOSE_WAIT_S) << event;
        EXPECT_EQ(cancelRequested.load(), 1);
    }
}
#else
TEST(JobStopTest, HangUpStopsTheJobUnlessTheProcessWasToldToIgnoreIt) {
    std::signal(SIGHUP, SIG_DFL);
    arm_job_stop();
    cancelRequested.store(0);
    std::raise(SIGHUP);
    EXPECT_EQ(cancelRequested.load(), 1);

    // nohup: the seller wants the job to outlive the terminal.
    std::signal(SIGHUP, SIG_IGN);
    arm_job_stop();
    cancelRequested.store(0);
    std::raise(SIGHUP);
    EXPECT_EQ(cancelRequested.load(), 0);
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
}
#endif

}  // namespace
