// A scratch server folder with one agent folder in it, root/<tag>/0/, and
// the helpers the protocol tests share: the file bytes of a name, and a
// file's modification time moved by a number of seconds.
#ifndef ZEQ_TESTS_AGENT_SCRATCH_H
#define ZEQ_TESTS_AGENT_SCRATCH_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "scratch_folder.h"
#include "server_folder.h"

class agent_scratch : public scratch_folder {
protected:
    void SetUp() override
    {
        scratch_folder::SetUp();
        char out[server_path_room];
        ASSERT_GT(server_agent_folder(out, sizeof out, root.c_str(), 0), 0);
        folder = out;
        ASSERT_EQ(mkdir(path(SERVER_PLATFORM_TAG).c_str(), 0777), 0);
        ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    }

    // A file of the agent folder.
    std::string in_folder(const char *name) const { return folder + name; }

    std::vector<uint8_t> bytes_of(const std::string &file) const
    {
        std::string text = read_text(file.substr(root.size() + 1));
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    void put_bytes(const std::string &file, const std::vector<uint8_t> &bytes) const
    {
        write_text(file.substr(root.size() + 1), std::string(bytes.begin(), bytes.end()));
    }

    // Sets the file's modification time to now + seconds.
    void age(const std::string &file, int seconds) const
    {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        now.tv_sec += seconds;
        struct timespec times[2] = {now, now};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << file;
    }

    std::string folder; // ends with '/'
};

#endif
