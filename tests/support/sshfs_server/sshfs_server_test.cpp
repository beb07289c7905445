// The sshfs test server gives what the agents' tests rely on: each side sees
// the other's changes at once (no cache hides a new, changed or removed
// name), writes through the mount move the file's time on the local side
// (the agents' heartbeat), exclusive creation and the no-replace rename
// arbitrate through it, and nothing is left mounted or running afterwards,
// not even when the process that started the server dies without stopping it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform.h"
#include "sshfs_mount_test.h"

namespace {

using sshfs_server_mount = sshfs_mount_test;

void put(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    ASSERT_FALSE(out.fail()) << path;
}

std::string get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string names_in(const std::string &folder)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    std::string all;
    for (const auto &name : names)
        all += (all.empty() ? "" : " ") + name;
    return all;
}

int64_t modified_ns(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return -1;
    return (int64_t)info.st_mtim.tv_sec * 1000000000 + info.st_mtim.tv_nsec;
}

TEST_F(sshfs_server_mount, each_side_sees_the_others_changes_at_once)
{
    put(local + "/from_local", "L");
    EXPECT_EQ(get(remote + "/from_local"), "L");
    put(remote + "/from_remote", "R");
    EXPECT_EQ(get(local + "/from_remote"), "R");

    // A cached size would cut the longer content short.
    put(local + "/from_local", "LONGER");
    EXPECT_EQ(get(remote + "/from_local"), "LONGER");

    // A name looked up while missing, then made; a name seen, then removed.
    const std::string later = remote + "/sub/later";
    ASSERT_TRUE(std::filesystem::create_directory(local + "/sub"));
    EXPECT_EQ(platform_file_exists(later.c_str()), 0);
    EXPECT_EQ(names_in(remote + "/sub"), "");
    put(local + "/sub/later", "");
    EXPECT_EQ(platform_file_exists(later.c_str()), 1);
    EXPECT_EQ(names_in(remote + "/sub"), "later");
    ASSERT_EQ(unlink((local + "/sub/later").c_str()), 0);
    EXPECT_EQ(platform_file_exists(later.c_str()), 0);
    EXPECT_EQ(names_in(remote + "/sub"), "");
}

TEST_F(sshfs_server_mount, a_write_through_the_mount_moves_the_local_modification_time)
{
    put(local + "/stamp", "12345678");
    int64_t before = modified_ns(local + "/stamp");
    platform_sleep_ms(20);
    int file = open((remote + "/stamp").c_str(), O_RDWR);
    ASSERT_GE(file, 0);
    EXPECT_EQ(pwrite(file, "12345678", 8, 0), 8);
    EXPECT_EQ(close(file), 0);
    EXPECT_GT(modified_ns(local + "/stamp"), before);
    EXPECT_EQ(get(local + "/stamp"), "12345678");
}

TEST_F(sshfs_server_mount, exclusive_creation_through_the_mount_refuses_a_taken_name)
{
    ASSERT_TRUE(std::filesystem::create_directory(local + "/0"));
    EXPECT_EQ(platform_folder_create((remote + "/0").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(platform_folder_create((remote + "/1").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(local + "/1"));

    put(local + "/0/tsc", "taken");
    EXPECT_EQ(platform_file_create((remote + "/0/tsc").c_str(), platform_create_exclusive), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(get(local + "/0/tsc"), "taken");

    intptr_t file = platform_file_create((remote + "/1/tsc").c_str(), platform_create_exclusive);
    ASSERT_GE(file, 0);
    EXPECT_EQ(platform_file_write_all(file, "stamp", 5, 0), 0);
    EXPECT_EQ(platform_file_close_checked(file), 0);
    EXPECT_EQ(get(local + "/1/tsc"), "stamp");
}

TEST_F(sshfs_server_mount, rename_without_replace_through_the_mount_moves_and_refuses_a_taken_name)
{
    const std::string from = remote + "/do", to = remote + "/done";
    put(local + "/do", "first");
    EXPECT_EQ(platform_file_rename_noreplace(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(names_in(local), "done");
    EXPECT_EQ(get(local + "/done"), "first");

    put(local + "/do", "second");
    EXPECT_EQ(platform_file_rename_noreplace(from.c_str(), to.c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(names_in(local), "do done");
    EXPECT_EQ(get(local + "/do"), "second");
    EXPECT_EQ(get(local + "/done"), "first");

    ASSERT_EQ(unlink((local + "/do").c_str()), 0);
    EXPECT_EQ(platform_file_rename_noreplace(from.c_str(), (remote + "/err").c_str()), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_not_found);
    EXPECT_EQ(names_in(local), "done");
}

TEST_F(sshfs_server_mount, stop_leaves_no_mount_and_no_process)
{
    std::vector<fixture_process> running;
    sshfs_server_processes(&server, &running);
    // At least sshd, its connection's process, sshfs and its ssh client.
    EXPECT_GE(running.size(), 4u);
    std::string folder = server.folder;

    EXPECT_EQ(sshfs_server_stop(&server), 0) << server.message;
    for (const fixture_process &process : running)
        EXPECT_FALSE(fixture_process_alive(process)) << process.pid;
    EXPECT_FALSE(sshfs_mount_listed(remote));
    EXPECT_FALSE(std::filesystem::exists(folder));
    // A second stop, as TearDown makes, finds nothing to do.
    EXPECT_EQ(sshfs_server_stop(&server), 0) << server.message;
}

// The chaos soak's faults: a stopped sshd stalls the mount until it goes
// on; a killed one fails every step on the mount, and a restart brings the
// same folder back, with nothing of the old server or mount left running.
TEST_F(sshfs_server_mount, a_killed_sshd_fails_the_mount_and_a_restart_brings_it_back)
{
    put(local + "/before", "1");
    EXPECT_GE(sshfs_server_signal_sshd(&server, SIGSTOP), 2);
    pid_t reader = fork();
    if (reader == 0)
        _exit(access((remote + "/before").c_str(), F_OK) == 0 ? 0 : 1);
    EXPECT_EQ(fixture_wait(reader, 500), fixture_running) << "a stalled mount answered";
    EXPECT_GE(sshfs_server_signal_sshd(&server, SIGCONT), 2);
    int status = fixture_wait(reader, 10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<fixture_process> old;
    sshfs_server_processes(&server, &old);
    ASSERT_EQ(sshfs_server_kill_sshd(&server, 15000), 0);
    EXPECT_NE(access((remote + "/before").c_str(), F_OK), 0) << "a step on the failed mount succeeded";
    ASSERT_EQ(sshfs_server_restart(&server), sshfs_server_started) << server.message;
    for (const fixture_process &process : old)
        EXPECT_FALSE(fixture_process_alive(process)) << process.pid;
    EXPECT_EQ(get(remote + "/before"), "1");
    put(remote + "/after", "2");
    EXPECT_EQ(get(local + "/after"), "2");
}

// The process that started the server ends without stopping it (killed, as
// a crashed test is): its death signal ends sshd and sshfs, and sshfs takes
// its mount with it.
TEST(sshfs_server, a_starter_that_dies_leaves_no_mount_and_no_process)
{
    std::string local = std::filesystem::temp_directory_path() / "zeq_sshfs_orphan_XXXXXX";
    ASSERT_NE(mkdtemp(&local[0]), nullptr);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        close(report[0]);
        sshfs_server server = {};
        int started = sshfs_server_start(&server, local);
        std::vector<fixture_process> running;
        sshfs_server_processes(&server, &running);
        std::ostringstream text;
        text << started << "\n" << server.folder << "\n" << server.mount_point << "\n";
        for (const fixture_process &process : running)
            text << process.pid << " " << process.start_ticks << "\n";
        std::string all = text.str();
        ssize_t ignored = write(report[1], all.data(), all.size());
        (void)ignored;
        raise(SIGKILL);
    }
    close(report[1]);
    std::string all;
    char buffer[512];
    for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;)
        all.append(buffer, (size_t)got);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(starter, &status, 0), starter);

    std::istringstream lines(all);
    int started = sshfs_server_failed;
    std::string folder, mount_point;
    lines >> started >> folder >> mount_point;
    std::vector<fixture_process> running;
    for (fixture_process process; lines >> process.pid >> process.start_ticks;)
        running.push_back(process);
    if (started == sshfs_server_no_fuse) {
        std::filesystem::remove_all(local);
        GTEST_SKIP() << "FUSE is not available here";
    }
    EXPECT_EQ(started, sshfs_server_started);
    EXPECT_GE(running.size(), 4u);

    // Whatever is still there after the bound is cleaned up here, so that a
    // failure of this test does not leave it behind either.
    int killed = fixture_reap_all(running, 10000);
    bool listed = false;
    for (int waited = 0; waited < 10000 && (listed = sshfs_mount_listed(mount_point)); waited += 10)
        platform_sleep_ms(10);
    EXPECT_EQ(killed, 0);
    EXPECT_FALSE(listed);
    if (listed)
        umount2(mount_point.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::remove_all(local, ignored);
}

} // namespace
