// golden_test.cpp: runs every golden case of the translators and compares
// standard output, standard error and the exit status byte for byte.
//
// A case is a folder golden/<translator>/<case>/ holding input.c (or an `args`
// file with the literal command-line arguments, empty for none), and the
// expected `stdout`, `stderr` and `status`.  The translator runs inside the
// case folder, so messages that name the input do not depend on where the tree
// lives; in the i386 flavour it runs under the emulator named by the build.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct golden_case {
    std::string translator;
    std::string name;
    std::string dir;
};

// CTest lists each case by this text (the test discovery shows the parameter).
void PrintTo(const golden_case &c, std::ostream *out)
{
    *out << c.translator << "/" << c.name;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A file name in the shared temporary folder that no other run uses: the
// flavours' runs, and those of other trees on the same machine, may overlap,
// and a name keyed by the case alone lets one run read another's output.
std::string scratch_path(const std::string &what)
{
    return ::testing::TempDir() + "golden_" + std::to_string(getpid()) + "_" + what;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

std::vector<golden_case> load_cases()
{
    std::vector<golden_case> cases;
    for (const std::string &t : list_dir(ZEQ_GOLDEN_DIR))
        for (const std::string &c : list_dir(std::string(ZEQ_GOLDEN_DIR) + "/" + t))
            cases.push_back({t, c, std::string(ZEQ_GOLDEN_DIR) + "/" + t + "/" + c});
    return cases;
}

// Runs argv in dir with stdout and stderr sent to the given files; returns the
// exit status as the shell sees it, or -1 if the program did not exit.
int run_in(const std::string &dir, const std::vector<std::string> &argv, const std::string &out,
           const std::string &err)
{
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class golden : public ::testing::TestWithParam<golden_case> {};

TEST_P(golden, output_matches)
{
    const golden_case &c = GetParam();
    std::vector<std::string> argv = split_words(ZEQ_RUN_PREFIX);
    argv.push_back(std::string(ZEQ_BIN_DIR) + "/" + c.translator);
    if (exists(c.dir + "/args")) {
        for (const std::string &a : split_words(read_file(c.dir + "/args")))
            argv.push_back(a);
    } else {
        argv.push_back("input.c");
    }
    std::string tmp = scratch_path(c.translator + "_" + c.name);
    int status = run_in(c.dir, argv, tmp + ".out", tmp + ".err");

    EXPECT_EQ(std::stoi(read_file(c.dir + "/status")), status);
    EXPECT_EQ(read_file(c.dir + "/stdout"), read_file(tmp + ".out"));
    EXPECT_EQ(read_file(c.dir + "/stderr"), read_file(tmp + ".err"));
    unlink((tmp + ".out").c_str());
    unlink((tmp + ".err").c_str());
}

// Generated text that cannot be written must not pass for success.
TEST(console, write_failure_is_reported)
{
    std::vector<std::string> argv = split_words(ZEQ_RUN_PREFIX);
    argv.push_back(std::string(ZEQ_BIN_DIR) + "/zeqcuda");
    argv.push_back("input.c");
    std::string dir = std::string(ZEQ_GOLDEN_DIR) + "/zeqcuda/nested_constructs";
    std::string err = scratch_path("write_failure.err");
    EXPECT_EQ(255, run_in(dir, argv, "/dev/full", err));
    EXPECT_EQ("Unable to write output\n", read_file(err));
    unlink(err.c_str());
}

INSTANTIATE_TEST_SUITE_P(cases, golden, ::testing::ValuesIn(load_cases()));

} // namespace
