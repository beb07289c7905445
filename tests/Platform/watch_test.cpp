// The folder watch: it wakes for a change in the folder and, for a subtree,
// in subfolders old and new; a burst is one wake-up; it reports only what
// was asked for; it always ends at its time-out; and a watch that cannot be
// set up says so and leaves nothing open.
#include <errno.h>

#include "scratch_folder.h"

namespace {

using folder_watch = scratch_folder;

TEST_F(folder_watch, reports_a_create_in_the_folder_and_a_burst_once)
{
    platform_watch watch;
    ASSERT_EQ(platform_watch_open(&watch, root.c_str(), 0, platform_watch_names), 0);
    EXPECT_EQ(platform_watch_wait(&watch, 0), 0) << "nothing happened yet";
    write_text("request", "r");
    // A time-out far beyond the bound: only a wait that missed the change
    // runs into it, however loaded the machine.
    uint64_t start = platform_monotonic_ms();
    EXPECT_EQ(platform_watch_wait(&watch, 60000), 1);
    EXPECT_LT(platform_monotonic_ms() - start, 10000u) << "a change ends the wait early";
    // More notifications than one read of the instance takes.
    for (int i = 0; i < 300; ++i)
        write_text("burst" + std::to_string(i), "");
    EXPECT_EQ(platform_watch_wait(&watch, 1000), 1);
    EXPECT_EQ(platform_watch_wait(&watch, 0), 0) << "the whole burst was taken at once";
    platform_watch_close(&watch);
    platform_watch_close(&watch);
}

TEST_F(folder_watch, a_subtree_sees_subfolders_old_and_new_and_a_plain_watch_does_not)
{
    ASSERT_EQ(platform_folder_create(path("agent1").c_str()), 0);
    platform_watch plain, tree;
    ASSERT_EQ(platform_watch_open(&plain, root.c_str(), 0, platform_watch_names), 0);
    ASSERT_EQ(platform_watch_open(&tree, root.c_str(), 1, platform_watch_names), 0);

    write_text("agent1/request", "r");
    EXPECT_EQ(platform_watch_wait(&tree, 1000), 1);
    EXPECT_EQ(platform_watch_wait(&plain, 50), 0) << "a plain watch looks at the folder only";

    ASSERT_EQ(platform_folder_create(path("agent2").c_str()), 0);
    EXPECT_EQ(platform_watch_wait(&tree, 1000), 1);
    write_text("agent2/request", "r");
    EXPECT_EQ(platform_watch_wait(&tree, 1000), 1) << "a subfolder made later is watched too";
    EXPECT_EQ(platform_watch_wait(&tree, 0), 0);
    platform_watch_close(&plain);
    platform_watch_close(&tree);
}

TEST_F(folder_watch, reports_contents_only_when_asked)
{
    write_text("a", "");
    platform_watch names, contents;
    ASSERT_EQ(platform_watch_open(&names, root.c_str(), 1, platform_watch_names), 0);
    ASSERT_EQ(platform_watch_open(&contents, root.c_str(), 1, platform_watch_contents), 0);
    write_text("a", "written");
    EXPECT_EQ(platform_watch_wait(&contents, 1000), 1);
    EXPECT_EQ(platform_watch_wait(&names, 50), 0) << "a write changes no name";
    write_text("b", "");
    EXPECT_EQ(platform_watch_wait(&names, 1000), 1);
    platform_watch_close(&names);
    platform_watch_close(&contents);
}

TEST_F(folder_watch, times_out_within_bounds_and_an_interruption_does_not_end_it)
{
    platform_watch watch;
    ASSERT_EQ(platform_watch_open(&watch, root.c_str(), 1, platform_watch_names | platform_watch_contents), 0);
    ASSERT_EQ(platform_fault_inject("poll", 1, EINTR), 0);
    uint64_t start = platform_monotonic_ms();
    EXPECT_EQ(platform_watch_wait(&watch, 80), 0);
    uint64_t took = platform_monotonic_ms() - start;
    EXPECT_GE(took, 79u);
    EXPECT_LT(took, 10000u) << "ended, on a loaded machine too";
    EXPECT_EQ(platform_fault_calls("poll"), 2u);
    platform_watch_close(&watch);
}

TEST_F(folder_watch, a_watch_that_cannot_be_set_up_says_so_and_leaves_nothing_open)
{
    ASSERT_EQ(platform_folder_create(path("agent1").c_str()), 0);
    struct setup_fault {
        const char *call;
        uint32_t nth;
        int error;
    };
    const setup_fault faults[] = {
        {"inotify_init1", 1, EMFILE},
        {"inotify_add_watch", 1, ENOSPC}, // the folder
        {"inotify_add_watch", 2, ENOSPC}, // its subfolder
        {"opendir", 1, EACCES},
        {"readdir", 1, EIO},
    };
    int free_fd = lowest_free_fd();
    platform_watch watch;
    for (const setup_fault &f : faults) {
        SCOPED_TRACE(std::string(f.call) + " #" + std::to_string(f.nth));
        ASSERT_EQ(platform_fault_inject(f.call, f.nth, f.error), 0);
        EXPECT_EQ(platform_watch_open(&watch, root.c_str(), 1, platform_watch_names), -1);
        EXPECT_EQ(platform_last_error(), f.error);
        EXPECT_EQ(watch.fd, -1);
        EXPECT_EQ(lowest_free_fd(), free_fd);
        EXPECT_EQ(platform_watch_wait(&watch, 0), -1) << "a closed record is no watch";
        platform_fault_clear();
    }
    EXPECT_EQ(platform_watch_open(&watch, path("missing").c_str(), 0, platform_watch_names), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
    EXPECT_EQ(platform_watch_open(&watch, root.c_str(), 0, 0), -1) << "nothing to watch for";
    EXPECT_EQ(lowest_free_fd(), free_fd);
}

TEST_F(folder_watch, a_failed_read_of_the_notifications_is_reported)
{
    platform_watch watch;
    ASSERT_EQ(platform_watch_open(&watch, root.c_str(), 0, platform_watch_names), 0);
    write_text("request", "r");
    ASSERT_EQ(platform_fault_inject("read", 1, EIO), 0);
    EXPECT_EQ(platform_watch_wait(&watch, 1000), -1);
    EXPECT_EQ(platform_last_error(), EIO);
    ASSERT_EQ(platform_fault_inject("poll", 1, ENOMEM), 0);
    EXPECT_EQ(platform_watch_wait(&watch, 1000), -1);
    EXPECT_EQ(platform_last_error(), ENOMEM);
    platform_watch_close(&watch);
}

} // namespace
