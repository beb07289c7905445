// Child processes of the sshfs test server: started so that they die with the
// thread that started them, waited for with a bound, and found again at the
// end together with everything they started themselves.
//
// sshd and sshfs do not keep their helpers as children: sshd serves each
// connection from a process that calls setsid, and sshfs starts its ssh
// client through a double fork, so the client's parent is init.  A child's
// own pid is therefore not enough to stop it all.  Each child gets a process
// group of its own (which the ssh client inherits), and the tree below it is
// read from /proc by parent links; a process is named by its pid together
// with its start time, so that a pid the system has given to someone else
// since is never signalled.
#ifndef ZEQ_TESTS_FIXTURE_PROCESS_H
#define ZEQ_TESTS_FIXTURE_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

struct fixture_process {
    pid_t pid;
    unsigned long long start_ticks; // field 22 of /proc/<pid>/stat
};

// Starts argv[0] (a path; nothing is searched) with standard input from
// /dev/null and standard output and error appended to log_path, in a process
// group of its own, sent death_signal when the calling thread ends.  Returns
// the child's pid, or -1 when it could not be forked.  A program that cannot
// be executed ends the child with status 127 and a line in the log.
pid_t fixture_spawn(const std::vector<std::string> &argv, const std::string &log_path, int death_signal);

enum {
    fixture_running = -1, // the child has not ended within the wait
    fixture_not_child = -2,
};
// Waits at most timeout_ms for a child of this process to end and reaps it.
// Returns its wait status (as waitpid gives it), fixture_running or
// fixture_not_child.
int fixture_wait(pid_t pid, int timeout_ms);
// Runs a command to its end, killed after timeout_ms.  0 when it exited with
// status 0, else -1.
int fixture_run(const std::vector<std::string> &argv, const std::string &log_path, int timeout_ms);
// The same, returning the exit status (0-255), or -1 when it could not run,
// was killed or outlasted timeout_ms.
int fixture_run_status(const std::vector<std::string> &argv, const std::string &log_path, int timeout_ms);
// Ends a child of this process: sends signal, waits grace_ms, then SIGKILL,
// and reaps it.
void fixture_stop_child(pid_t pid, int signal, int grace_ms);

// Adds to out the process root and every live process below it by parent
// links, and every live member of the process group root leads.
void fixture_process_tree(pid_t root, std::vector<fixture_process> *out);
// 1 when the process still runs (a zombie does not count), else 0.
int fixture_process_alive(const fixture_process &process);
// Waits at most timeout_ms for all of them to end; kills the rest with
// SIGKILL.  Returns how many had to be killed.
int fixture_reap_all(const std::vector<fixture_process> &processes, int timeout_ms);

// Sleeps ms milliseconds, signals or not.
void fixture_sleep_ms(int ms);
// The first executable found for name in PATH and the system's sbin folders,
// or "" when there is none.
std::string fixture_find_program(const char *name);
// The last lines of a log file, for a failure message.
std::string fixture_log_tail(const std::string &path);
// A file's whole text, "" when it cannot be read.
std::string fixture_read_text(const std::string &path);
// A port on 127.0.0.1 that nobody listens on now (the system's answer to
// binding port 0); another process may take it before the caller binds it.
// -1 when none can be had.
int fixture_free_port(void);
// Adds to out every live process, this one left out, whose environment
// holds each of entries ("NAME=value", whole).
void fixture_processes_with_environment(const std::vector<std::string> &entries, std::vector<fixture_process> *out);

#endif
