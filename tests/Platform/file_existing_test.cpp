// Files that another side may have placed: a link is refused rather than
// followed, whatever is opened tells what it is (so a folder, a pipe or a
// second name can be refused through the handle), reads at an offset stop at
// the end of the file, and truncation cuts and extends.
#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "scratch_folder.h"

namespace {

using file_existing = scratch_folder;
using file_info = scratch_folder;
using file_read_at = scratch_folder;
using file_truncate = scratch_folder;

TEST_F(file_existing, a_final_link_is_refused_and_its_target_left_alone)
{
    write_text("target", "outside");
    ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0777), 0);
    ASSERT_EQ(symlink(path("folder").c_str(), path("folder_link").c_str()), 0);
    for (uint32_t flags : {0u, (uint32_t)platform_open_read_write}) {
        EXPECT_EQ(platform_file_open_existing(path("link").c_str(), flags), -1) << flags;
        EXPECT_EQ(platform_last_error(), (int)platform_error_link);
        EXPECT_EQ(platform_file_open_existing(path("folder_link").c_str(), flags), -1) << flags;
        EXPECT_EQ(platform_last_error(), (int)platform_error_link);
    }
    EXPECT_EQ(read_text("target"), "outside");

    EXPECT_EQ(platform_file_open_existing(path("missing").c_str(), 0), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
    EXPECT_EQ(platform_file_open_existing(path("folder").c_str(), platform_open_read_write), -1)
        << "a folder cannot be opened for writing";

    // A link in an earlier component is the caller's own path and is followed.
    intptr_t file = platform_file_open_existing(path("folder_link/../target").c_str(), platform_open_read_write);
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_write_all(file, "inside", 6, 0), 0);
    EXPECT_EQ(platform_file_close_checked(file), 0);
    EXPECT_EQ(read_text("target"), "insidee");
}

TEST_F(file_existing, a_pipe_opens_without_waiting_and_reads_as_other)
{
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0666), 0);
    intptr_t file = platform_file_open_existing(path("pipe").c_str(), 0);
    ASSERT_GE(file, 0) << "a read-only open of a pipe would wait for a writer";
    platform_file_info info;
    ASSERT_EQ(platform_file_info_of(file, &info), 0);
    EXPECT_EQ(info.kind, (uint32_t)platform_kind_other);
    EXPECT_EQ(fcntl((int)file, F_GETFL) & O_NONBLOCK, 0) << "reads of what was opened block as usual";
    EXPECT_EQ(fcntl((int)file, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    platform_file_close(file);
}

TEST_F(file_info, folders_links_and_regular_files_are_told_apart)
{
    write_text("file", "12345");
    ASSERT_EQ(link(path("file").c_str(), path("second_name").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0777), 0);

    platform_file_info info;
    ASSERT_EQ(platform_path_info(path("file").c_str(), &info), 0);
    EXPECT_EQ(info.kind, (uint32_t)platform_kind_regular);
    EXPECT_EQ(info.size, 5);
    EXPECT_EQ(info.links, 2u) << "a second name shows in the count";
    ASSERT_EQ(platform_path_info(path("dangling").c_str(), &info), 0) << "the link itself, not its target";
    EXPECT_EQ(info.kind, (uint32_t)platform_kind_link);
    ASSERT_EQ(platform_path_info(path("folder").c_str(), &info), 0);
    EXPECT_EQ(info.kind, (uint32_t)platform_kind_folder);
    EXPECT_EQ(platform_path_info(path("missing").c_str(), &info), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);

    intptr_t folder = platform_file_open_existing(path("folder").c_str(), 0);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(platform_file_info_of(folder, &info), 0);
    EXPECT_EQ(info.kind, (uint32_t)platform_kind_folder);
    platform_file_close(folder);
    EXPECT_EQ(platform_file_info_of(-1, &info), -1);
}

TEST_F(file_info, the_modification_time_is_the_file_systems_to_the_nanosecond)
{
    write_text("file", "x");
    struct timespec times[2] = {{1700000000, 123456789}, {1600000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("file").c_str(), times, 0), 0);
    intptr_t file = platform_file_open_existing(path("file").c_str(), 0);
    ASSERT_GE(file, 0);
    platform_file_info info;
    ASSERT_EQ(platform_file_info_of(file, &info), 0);
    EXPECT_EQ(info.modified_ns, INT64_C(1600000000987654321)) << "the write time, not the access time";
    platform_file_close(file);
}

TEST_F(file_info, name_queries_count_under_stat_and_fail_as_it_does)
{
    write_text("file", "x");
    ASSERT_EQ(platform_fault_inject("stat", 1, EACCES), 0);
    platform_file_info info;
    EXPECT_EQ(platform_path_info(path("file").c_str(), &info), -1);
    EXPECT_EQ(platform_last_error(), EACCES);
    EXPECT_EQ(platform_path_info(path("file").c_str(), &info), 0);
    EXPECT_EQ(platform_fault_calls("stat"), 2u);

    intptr_t file = platform_file_open_existing(path("file").c_str(), 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(platform_fault_inject("fstat", 1, EIO), 0);
    EXPECT_EQ(platform_file_info_of(file, &info), -1);
    EXPECT_EQ(platform_last_error(), EIO);
    platform_file_close(file);
}

TEST_F(file_read_at, a_short_file_gives_what_it_holds_and_the_end_gives_nothing)
{
    write_text("file", "hello");
    intptr_t file = platform_file_open_existing(path("file").c_str(), 0);
    ASSERT_GE(file, 0);
    char buffer[16] = {};
    EXPECT_EQ(platform_file_read_at(file, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(platform_file_read_at(file, buffer, 2, 3), 2);
    EXPECT_EQ(std::string(buffer, 2), "lo");
    EXPECT_EQ(platform_file_read_at(file, buffer, sizeof buffer, 5), 0);
    EXPECT_EQ(platform_file_read_at(file, buffer, sizeof buffer, 1000), 0);
    EXPECT_EQ(platform_file_read_at(file, buffer, sizeof buffer, -1), -1);

    ASSERT_EQ(platform_fault_inject("pread", 1, EIO), 0);
    EXPECT_EQ(platform_file_read_at(file, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(platform_last_error(), EIO);
    platform_file_close(file);
}

TEST_F(file_truncate, cuts_and_extends_with_zeros_and_reports_a_refusal)
{
    write_text("file", "0123456789");
    intptr_t file = platform_file_open_existing(path("file").c_str(), platform_open_read_write);
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_truncate(file, 3), 0);
    EXPECT_EQ(read_text("file"), "012");
    EXPECT_EQ(platform_file_truncate(file, 5), 0);
    EXPECT_EQ(read_text("file"), std::string("012\0\0", 5));
    EXPECT_EQ(platform_file_truncate(file, -1), -1);

    ASSERT_EQ(platform_fault_inject("ftruncate", 1, EIO), 0);
    EXPECT_EQ(platform_file_truncate(file, 0), -1);
    EXPECT_EQ(platform_last_error(), EIO);
    EXPECT_EQ(read_text("file").size(), 5u) << "a failed truncation changes nothing";
    platform_file_close(file);

    intptr_t read_only = platform_file_open_existing(path("file").c_str(), 0);
    ASSERT_GE(read_only, 0);
    EXPECT_EQ(platform_file_truncate(read_only, 0), -1);
    platform_file_close(read_only);
}

} // namespace
