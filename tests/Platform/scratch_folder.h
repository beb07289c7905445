// A fresh folder for each file test, and small helpers to put text into files
// and read it back.  The folder is made under $TMPDIR (or /tmp) and removed
// with all it holds when the test ends, passed or failed; the fault table is
// cleared then too, so that an entry a failed test left armed cannot make the
// next test fail.  lowest_free_fd catches a failure path that leaks a file.
#ifndef ZEQ_TESTS_SCRATCH_FOLDER_H
#define ZEQ_TESTS_SCRATCH_FOLDER_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform.h"

// Whether ASan is in the process.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_asan = true;
#else
constexpr bool under_asan = false;
#endif

// The descriptor the next open gets: equal before and after a failed call
// when that call closed whatever it had opened.
inline int lowest_free_fd()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

class scratch_folder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_platform_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr) << pattern;
        root = pattern;
    }

    void TearDown() override
    {
        platform_fault_clear();
        std::error_code ignored;
        if (!root.empty())
            std::filesystem::remove_all(root, ignored);
    }

    std::string path(const std::string &name) const { return root + "/" + name; }

    // Names directly in folder (relative to root), sorted, joined by spaces.
    std::string listing(const std::string &folder = "") const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(folder.empty() ? root : path(folder)))
            names.insert(entry.path().filename().string());
        std::string all;
        for (const auto &name : names)
            all += (all.empty() ? "" : " ") + name;
        return all;
    }

    void write_text(const std::string &name, const std::string &text) const
    {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << name;
    }

    // The file's content, or "<missing>" when it cannot be opened.
    std::string read_text(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        if (!in)
            return "<missing>";
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::string root;
};

#endif
