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

// The same server around another fixture that owns a server folder in its
// `root` (an agent fixture, a client fixture): `mounted_root` is that folder
// through sshfs.  The base fixture's TearDown runs first, so that the agents
// and clients it started are gone before the mount goes, which it cannot
// while they work in it.
template <class base_fixture> class sshfs_mounted : public base_fixture {
protected:
    void SetUp() override
    {
        base_fixture::SetUp();
        if (this->HasFatalFailure() || this->IsSkipped())
            return;
        int started = sshfs_server_start(&server, this->root);
        if (started == sshfs_server_no_fuse)
            GTEST_SKIP() << server.message;
        ASSERT_EQ(started, sshfs_server_started) << server.message;
        mounted_root = server.mount_point;
    }

    void TearDown() override
    {
        base_fixture::TearDown();
        EXPECT_EQ(sshfs_server_stop(&server), 0) << server.message;
    }

    sshfs_server server = {};
    std::string mounted_root;
};

#endif
