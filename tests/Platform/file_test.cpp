// Creating, writing and naming files as the shared-folder protocol does: an
// exclusive create never touches a taken name, writes land whole where they
// were asked to or report failure, and the name operations tell "not found"
// and "exists" from other failures.
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "scratch_folder.h"

namespace {

using file_create = scratch_folder;
using file_write = scratch_folder;
using file_names = scratch_folder;
using file_delete_on_close = scratch_folder;

mode_t current_umask()
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void write_and_close(intptr_t file, const std::string &text)
{
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_write_all(file, text.data(), text.size(), platform_file_at_position), 0);
    EXPECT_EQ(platform_file_close_checked(file), 0);
}

TEST_F(file_create, exclusive_refuses_an_existing_file_and_leaves_its_content)
{
    write_text("taken", "first owner");
    EXPECT_EQ(platform_file_create(path("taken").c_str(), platform_create_exclusive), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(read_text("taken"), "first owner");

    write_and_close(platform_file_create(path("fresh").c_str(), platform_create_exclusive), "mine");
    EXPECT_EQ(read_text("fresh"), "mine");
    struct stat st;
    ASSERT_EQ(stat(path("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~current_umask());

    EXPECT_EQ(platform_file_create(path("no_folder/x").c_str(), platform_create_exclusive), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
}

TEST_F(file_create, plain_create_truncates_and_write_through_asks_for_synchronous_writes)
{
    write_text("a", "a much longer old content");
    intptr_t plain = platform_file_create(path("a").c_str(), 0);
    ASSERT_GE(plain, 0);
    EXPECT_EQ(fcntl((int)plain, F_GETFL) & O_SYNC, 0);
    write_and_close(plain, "new");
    EXPECT_EQ(read_text("a"), "new");

    intptr_t through = platform_file_create(path("a").c_str(), platform_create_write_through);
    ASSERT_GE(through, 0);
    EXPECT_EQ(fcntl((int)through, F_GETFL) & O_SYNC, O_SYNC);
    write_and_close(through, "durable");
    EXPECT_EQ(read_text("a"), "durable");

    intptr_t both = platform_file_create(path("b").c_str(), platform_create_exclusive | platform_create_write_through);
    ASSERT_GE(both, 0);
    EXPECT_EQ(fcntl((int)both, F_GETFL) & O_SYNC, O_SYNC);
    platform_file_close(both);
}

TEST_F(file_write, offsets_and_the_position_are_kept_apart)
{
    intptr_t file = platform_file_create(path("a").c_str(), 0);
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_write_all(file, "hello", 5, platform_file_at_position), 0);
    EXPECT_EQ(platform_file_write_all(file, "J", 1, 0), 0);
    EXPECT_EQ(platform_file_write_all(file, "!", 1, platform_file_at_position), 0) << "pwrite left the position";
    EXPECT_EQ(platform_file_write_all(file, "?", 1, 9), 0);
    EXPECT_EQ(platform_file_write_all(file, "x", 1, -2), -1);
    EXPECT_EQ(platform_last_error(), EINVAL);
    platform_file_close(file);
    EXPECT_EQ(read_text("a"), std::string("Jello!\0\0\0?", 10));
}

TEST_F(file_write, an_interrupted_write_is_continued_and_a_failed_one_reported)
{
    intptr_t file = platform_file_create(path("a").c_str(), 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(platform_fault_inject("write", 1, EINTR), 0);
    EXPECT_EQ(platform_file_write_all(file, "abc", 3, platform_file_at_position), 0);
    ASSERT_EQ(platform_fault_inject("pwrite", 1, ENOSPC), 0);
    EXPECT_EQ(platform_file_write_all(file, "def", 3, 3), -1);
    EXPECT_EQ(platform_last_error(), ENOSPC);
    platform_file_close(file);
    EXPECT_EQ(read_text("a"), "abc");
}

TEST_F(file_write, a_write_cut_short_is_continued_and_its_failure_reported)
{
    // A file size limit makes the kernel write only the part below it and
    // refuse the rest: a short write followed by EFBIG, as a full disk does.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore = {}, old_action;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
    intptr_t file = platform_file_create(path("a").c_str(), 0);
    ASSERT_GE(file, 0);
    struct rlimit limit = saved;
    limit.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string text(100, 'x');
    int result = platform_file_write_all(file, text.data(), text.size(), platform_file_at_position);
    int error = platform_last_error();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old_action, nullptr);
    platform_file_close(file);
    EXPECT_EQ(result, -1) << "a short file must not be reported as written";
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(read_text("a"), std::string(10, 'x')) << "the part that fitted was kept";
}

TEST_F(file_write, sync_and_checked_close_report_what_the_system_reports)
{
    intptr_t file = platform_file_create(path("a").c_str(), 0);
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_sync(file), 0);
    ASSERT_EQ(platform_fault_inject("fsync", 1, EIO), 0);
    EXPECT_EQ(platform_file_sync(file), -1);
    EXPECT_EQ(platform_last_error(), EIO);

    ASSERT_EQ(platform_fault_inject("close", 1, EIO), 0);
    EXPECT_EQ(platform_file_close_checked(file), -1);
    EXPECT_EQ(platform_last_error(), EIO);
    EXPECT_EQ(fcntl((int)file, F_GETFD), -1) << "the handle is released even so";
    EXPECT_EQ(platform_file_close_checked(-1), -1);
}

TEST_F(file_names, not_found_and_exists_are_told_from_other_failures)
{
    write_text("f", "file");
    EXPECT_EQ(platform_folder_create(path("d").c_str()), 0);
    EXPECT_EQ(platform_folder_create(path("d").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(platform_folder_create(path("f").c_str()), -1) << "a file takes the name too";
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(platform_folder_create(path("x/y").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);

    EXPECT_EQ(platform_file_exists(path("f").c_str()), 1);
    EXPECT_EQ(platform_file_exists(path("d").c_str()), 1);
    EXPECT_EQ(platform_file_exists(path("x").c_str()), 0);
    EXPECT_EQ(platform_file_exists(path("f/x").c_str()), 0) << "a file on the way";
    ASSERT_EQ(platform_fault_inject("stat", 1, EACCES), 0);
    EXPECT_EQ(platform_file_exists(path("f").c_str()), -1) << "cannot tell is not absent";
    EXPECT_EQ(platform_last_error(), EACCES);

    EXPECT_EQ(platform_file_delete(path("f").c_str()), 0);
    EXPECT_EQ(read_text("f"), "<missing>");
    EXPECT_EQ(platform_file_delete(path("f").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
}

TEST_F(file_delete_on_close, the_name_goes_at_once_and_the_content_stays_readable)
{
    write_text("request", "payload");
    intptr_t file = platform_file_open_delete_on_close(path("request").c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_exists(path("request").c_str()), 0);
    write_text("request", "next");
    EXPECT_EQ(read_text("request"), "next") << "the name is free for a new file";
    ASSERT_EQ(platform_file_size(file), 7);
    char text[7];
    EXPECT_EQ(platform_file_read_all(file, text, sizeof text), 0);
    EXPECT_EQ(std::string(text, sizeof text), "payload");
    platform_file_close(file);
    EXPECT_EQ(read_text("request"), "next");

    EXPECT_EQ(platform_file_open_delete_on_close(path("missing").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
}

TEST_F(file_delete_on_close, a_name_that_cannot_be_removed_fails_the_open_and_leaks_nothing)
{
    write_text("request", "payload");
    int free_fd = lowest_free_fd();
    ASSERT_EQ(platform_fault_inject("unlink", 1, EACCES), 0);
    EXPECT_EQ(platform_file_open_delete_on_close(path("request").c_str()), -1);
    EXPECT_EQ(platform_last_error(), EACCES);
    EXPECT_EQ(read_text("request"), "payload");
    EXPECT_EQ(lowest_free_fd(), free_fd);
}

} // namespace
