// The fault table: the chosen call and only that one fails, with the chosen
// errno, as the real failure would look; clearing restores the system; real
// threads racing through one entry see exactly one failure; and the reason
// of a failure stays with the thread that met it.
#include <errno.h>

#include <atomic>
#include <thread>
#include <vector>

#include "scratch_folder.h"

namespace {

using fault_injection = scratch_folder;

TEST_F(fault_injection, only_the_nth_call_fails_and_with_the_chosen_errno)
{
    write_text("a", "x");
    ASSERT_EQ(platform_fault_inject("open", 3, EACCES), 0);
    for (int call = 1; call <= 5; ++call) {
        errno = 0;
        intptr_t file = platform_file_open_read(path("a").c_str());
        if (call == 3) {
            EXPECT_EQ(file, -1);
            EXPECT_EQ(errno, EACCES) << "the caller sees what the system would have said";
            EXPECT_EQ(platform_last_error(), EACCES);
        } else {
            EXPECT_GE(file, 0) << "call " << call;
        }
        platform_file_close(file);
    }
    EXPECT_EQ(platform_fault_calls("open"), 5u);
}

TEST_F(fault_injection, clear_restores_the_system_and_bad_arguments_are_refused)
{
    write_text("a", "x");
    ASSERT_EQ(platform_fault_inject("open", 1, EIO), 0);
    platform_fault_clear();
    intptr_t file = platform_file_open_read(path("a").c_str());
    EXPECT_GE(file, 0);
    platform_file_close(file);
    EXPECT_EQ(platform_fault_calls("open"), 0u) << "a disarmed table counts nothing";

    EXPECT_EQ(platform_fault_inject("no_such_call", 1, EIO), -1);
    EXPECT_EQ(platform_fault_inject(nullptr, 1, EIO), -1);
    EXPECT_EQ(platform_fault_inject("open", 1, 0), -1) << "a failure needs a reason";
    EXPECT_EQ(platform_fault_calls("no_such_call"), 0u);

    ASSERT_EQ(platform_fault_inject("open", 0, 0), 0) << "nth 0 only counts";
    file = platform_file_open_read(path("a").c_str());
    EXPECT_GE(file, 0);
    platform_file_close(file);
    EXPECT_EQ(platform_fault_calls("open"), 1u);
}

TEST_F(fault_injection, an_interrupted_call_is_retried_below_the_caller)
{
    write_text("a", "hello");
    intptr_t file = platform_file_open_read(path("a").c_str());
    ASSERT_GE(file, 0);
    ASSERT_EQ(platform_fault_inject("pread", 1, EINTR), 0);
    char text[5];
    EXPECT_EQ(platform_file_read_all(file, text, sizeof text), 0);
    EXPECT_EQ(std::string(text, sizeof text), "hello");
    EXPECT_EQ(platform_fault_calls("pread"), 2u) << "interrupted once, then read";
    platform_file_close(file);
}

TEST_F(fault_injection, concurrent_callers_see_exactly_one_failure_and_keep_their_own_error)
{
    write_text("a", "x");
    const int threads = 4, per_thread = 2000;
    ASSERT_EQ(platform_fault_inject("open", 5000, EMFILE), 0);
    std::atomic<int> failures{0}, wrong_reason{0}, foreign_reason{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            bool failed_here = false;
            for (int i = 0; i < per_thread; ++i) {
                intptr_t file = platform_file_open_read(path("a").c_str());
                if (file < 0) {
                    failed_here = true;
                    failures.fetch_add(1);
                    if (platform_last_error() != EMFILE)
                        wrong_reason.fetch_add(1);
                }
                platform_file_close(file);
            }
            if (!failed_here && platform_last_error() != 0)
                foreign_reason.fetch_add(1);
        });
    for (auto &t : pool)
        t.join();
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(wrong_reason.load(), 0);
    EXPECT_EQ(foreign_reason.load(), 0) << "the last error is per thread";
    EXPECT_EQ(platform_fault_calls("open"), (uint32_t)(threads * per_thread));
}

TEST_F(fault_injection, a_failed_library_load_reports_the_reason)
{
    ASSERT_EQ(platform_fault_inject("dlopen", 1, ENOMEM), 0);
    EXPECT_EQ(platform_library_open("libc.so.6"), nullptr);
    EXPECT_EQ(platform_last_error(), ENOMEM);
    void *library = platform_library_open("libc.so.6");
    EXPECT_NE(library, nullptr) << "only the first call was chosen";
    platform_library_close(library);

    EXPECT_EQ(platform_library_open(path("no_such_library.so").c_str()), nullptr);
    EXPECT_NE(platform_last_error(), ENOMEM) << "a real failure leaves its own reason";
    EXPECT_NE(platform_last_error(), 0);
}

TEST_F(fault_injection, a_refused_unload_is_reported_and_leaves_the_library_loaded)
{
    void *library = platform_library_open("libm.so.6");
    ASSERT_NE(library, nullptr);
    ASSERT_EQ(platform_fault_inject("dlclose", 1, EBUSY), 0);
    EXPECT_EQ(platform_library_close(library), -1);
    EXPECT_EQ(platform_fault_calls("dlclose"), 1u);
    EXPECT_EQ(platform_library_close(library), 0) << "the refused unload left the library loaded";
    EXPECT_EQ(platform_library_close(nullptr), 0);
}

TEST_F(fault_injection, a_failed_listing_is_told_apart_from_its_end)
{
    write_text("k.ocl", "");
    EXPECT_EQ(platform_file_open_read(path("missing").c_str()), -1);
    ASSERT_EQ(platform_last_error(), (int)platform_error_not_found);

    platform_dir dir;
    ASSERT_EQ(platform_dir_open(&dir, root.c_str(), ".ocl"), 0);
    EXPECT_STREQ(platform_dir_next(&dir), "k.ocl");
    EXPECT_EQ(platform_dir_next(&dir), nullptr);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found) << "the end is no failure";
    platform_dir_close(&dir);

    ASSERT_EQ(platform_fault_inject("readdir", 1, EIO), 0);
    ASSERT_EQ(platform_dir_open(&dir, root.c_str(), ".ocl"), 0);
    EXPECT_EQ(platform_dir_next(&dir), nullptr);
    EXPECT_EQ(platform_last_error(), EIO);
    platform_dir_close(&dir);

    ASSERT_EQ(platform_fault_inject("opendir", 1, EACCES), 0);
    EXPECT_EQ(platform_dir_open(&dir, root.c_str(), ".ocl"), -1);
    EXPECT_EQ(platform_last_error(), EACCES);
}

} // namespace
