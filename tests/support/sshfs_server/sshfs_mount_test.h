// A GoogleTest fixture around the sshfs test server: each test gets a fresh
// local folder (`local`) and the same folder seen through sshfs (`remote`).
//
// Where FUSE is missing or refused the test is skipped with the reason; every
// other failure to set up fails it.  TearDown unmounts and stops everything,
// also after a failed assertion, and fails the test if that went wrong.
#ifndef ZEQ_TESTS_SSHFS_MOUNT_TEST_H
#define ZEQ_TESTS_SSHFS_MOUNT_TEST_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "sshfs_server.h"

class sshfs_mount_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_sshfs_local_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr) << pattern;
        local = pattern;
        int started = sshfs_server_start(&server, local);
        if (started == sshfs_server_no_fuse)
            GTEST_SKIP() << server.message;
        ASSERT_EQ(started, sshfs_server_started) << server.message;
        remote = server.mount_point;
    }

    void TearDown() override
    {
        EXPECT_EQ(sshfs_server_stop(&server), 0) << server.message;
        std::error_code ignored;
        if (!local.empty() && !server.mounted)
            std::filesystem::remove_all(local, ignored);
    }

    sshfs_server server = {};
    std::string local;  // the folder on this machine's file system
    std::string remote; // the same folder through sshfs
};

#endif
