// Handing files over in a shared folder: the no-replace rename refuses a
// taken name on the atomic path and on the link + unlink path alike, never
// falls back to a replacing rename, and a claim that lost a race leaves no
// second name; the replacing copy, and bytes written over a file, leave the
// old target whole and no temporary behind whichever of their steps fails.
#include <errno.h>

#include <string>

#include "scratch_folder.h"

namespace {

using file_rename_noreplace = scratch_folder;
using file_copy_replace = scratch_folder;
using file_write_replace = scratch_folder;

// The errors with which file systems refuse RENAME_NOREPLACE; 0 stands for
// the atomic path, taken when the file system accepts the flag.
const int refusals[] = {0, EINVAL, ENOSYS, EOPNOTSUPP};

void refuse_rename_flags(int error)
{
    if (error != 0) {
        ASSERT_EQ(platform_fault_inject("renameat2", 1, error), 0);
    }
    ASSERT_EQ(platform_fault_inject("link", 0, 0), 0);
    ASSERT_EQ(platform_fault_inject("rename", 0, 0), 0);
}

TEST_F(file_rename_noreplace, refuses_a_taken_name_and_leaves_both_files_on_either_path)
{
    for (int refusal : refusals) {
        SCOPED_TRACE(refusal);
        write_text("a", "A");
        write_text("b", "B");
        refuse_rename_flags(refusal);
        EXPECT_EQ(platform_file_rename_noreplace(path("a").c_str(), path("b").c_str()), -1);
        EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
        EXPECT_EQ(read_text("a"), "A");
        EXPECT_EQ(read_text("b"), "B");
        EXPECT_EQ(platform_fault_calls("link"), refusal ? 1u : 0u) << "the path meant was taken";

        refuse_rename_flags(refusal);
        EXPECT_EQ(platform_file_rename_noreplace(path("a").c_str(), path("c").c_str()), 0);
        EXPECT_EQ(read_text("a"), "<missing>");
        EXPECT_EQ(read_text("c"), "A");
        EXPECT_EQ(platform_fault_calls("rename"), 0u) << "never a replacing rename";

        refuse_rename_flags(refusal);
        EXPECT_EQ(platform_file_rename_noreplace(path("a").c_str(), path("d").c_str()), -1);
        EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
        EXPECT_EQ(listing(), "b c");
        platform_file_delete(path("b").c_str());
        platform_file_delete(path("c").c_str());
    }
}

TEST_F(file_rename_noreplace, moves_a_folder_on_the_atomic_path)
{
    ASSERT_EQ(platform_folder_create(path("job").c_str()), 0);
    write_text("job/request", "r");
    EXPECT_EQ(platform_file_rename_noreplace(path("job").c_str(), path("taken_job").c_str()), 0);
    EXPECT_EQ(read_text("taken_job/request"), "r");
}

TEST_F(file_rename_noreplace, without_hard_links_it_fails_and_replaces_nothing)
{
    write_text("a", "A");
    write_text("b", "B");
    for (const char *target : {"b", "c"}) {
        SCOPED_TRACE(target);
        refuse_rename_flags(EINVAL);
        ASSERT_EQ(platform_fault_inject("link", 1, EPERM), 0);
        EXPECT_EQ(platform_file_rename_noreplace(path("a").c_str(), path(target).c_str()), -1);
        EXPECT_EQ(platform_last_error(), EPERM);
        EXPECT_EQ(platform_fault_calls("rename"), 0u);
        EXPECT_EQ(listing(), "a b");
        EXPECT_EQ(read_text("a"), "A");
        EXPECT_EQ(read_text("b"), "B");
    }
}

TEST_F(file_rename_noreplace, a_claim_that_lost_the_race_on_the_link_path_leaves_no_second_name)
{
    // Another side linked the source elsewhere and unlinked it between our
    // link and our unlink: our unlink finds it gone.
    write_text("request", "r");
    refuse_rename_flags(EINVAL);
    ASSERT_EQ(platform_fault_inject("unlink", 1, ENOENT), 0);
    EXPECT_EQ(platform_file_rename_noreplace(path("request").c_str(), path("mine").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
    EXPECT_EQ(listing(), "request") << "our new name was taken back";
}

// Bigger than one copying chunk, so that the copy reads and writes twice.
std::string long_text()
{
    std::string text;
    for (int i = 0; text.size() < 100000; ++i)
        text += std::to_string(i) + ",";
    return text;
}

TEST_F(file_copy_replace, replaces_the_target_with_the_whole_copy)
{
    const std::string text = long_text();
    write_text("source", text);
    write_text("target", "old");
    EXPECT_EQ(platform_file_copy_replace(path("source").c_str(), path("target").c_str()), 0);
    EXPECT_EQ(read_text("target"), text);
    EXPECT_EQ(read_text("source"), text);
    EXPECT_EQ(platform_file_copy_replace(path("source").c_str(), path("new").c_str()), 0);
    EXPECT_EQ(read_text("new"), text);
    EXPECT_EQ(listing(), "new source target") << "no temporary left";
}

TEST_F(file_copy_replace, a_failing_step_leaves_the_old_target_whole_and_no_temporary)
{
    struct step {
        const char *call;
        uint32_t nth;
        int error;
    };
    const step steps[] = {
        {"open", 1, ENOENT},  // the source
        {"open", 2, EACCES},  // the temporary
        {"read", 2, EIO},     // the second chunk
        {"write", 2, ENOSPC}, // the second chunk
        {"fsync", 1, EIO},
        {"close", 2, EIO},    // the temporary, where a network file system reports late
        {"rename", 1, EXDEV},
    };
    write_text("source", long_text());
    write_text("target", "old");
    for (const step &s : steps) {
        SCOPED_TRACE(std::string(s.call) + " #" + std::to_string(s.nth));
        int free_fd = lowest_free_fd();
        ASSERT_EQ(platform_fault_inject(s.call, s.nth, s.error), 0);
        EXPECT_EQ(platform_file_copy_replace(path("source").c_str(), path("target").c_str()), -1);
        EXPECT_EQ(platform_last_error(), s.error);
        EXPECT_EQ(read_text("target"), "old");
        EXPECT_EQ(listing(), "source target");
        EXPECT_EQ(lowest_free_fd(), free_fd) << "no file left open";
        platform_fault_clear();
    }
}

TEST_F(file_write_replace, writes_the_whole_text_or_leaves_the_old_target_and_no_temporary)
{
    const std::string text = long_text();
    write_text("target", "old");
    EXPECT_EQ(platform_file_write_replace(path("target").c_str(), text.data(), text.size()), 0);
    EXPECT_EQ(read_text("target"), text);
    EXPECT_EQ(listing(), "target") << "no temporary left";

    struct step {
        const char *call;
        uint32_t nth;
        int error;
    };
    const step steps[] = {{"open", 1, EACCES}, {"write", 1, ENOSPC}, {"fsync", 1, EIO}, {"close", 1, EIO},
                          {"rename", 1, EXDEV}};
    write_text("target", "old");
    for (const step &s : steps) {
        SCOPED_TRACE(std::string(s.call) + " #" + std::to_string(s.nth));
        int free_fd = lowest_free_fd();
        ASSERT_EQ(platform_fault_inject(s.call, s.nth, s.error), 0);
        EXPECT_EQ(platform_file_write_replace(path("target").c_str(), text.data(), text.size()), -1);
        EXPECT_EQ(platform_last_error(), s.error);
        EXPECT_EQ(read_text("target"), "old");
        EXPECT_EQ(listing(), "target");
        EXPECT_EQ(lowest_free_fd(), free_fd) << "no file left open";
        platform_fault_clear();
    }
}

} // namespace
