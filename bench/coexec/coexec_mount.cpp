// coexec_mount: holds an sshfs mount of a local folder, through a private
// sshd on 127.0.0.1, for as long as it runs: the network folder of
// bench/coexec/run.sh, made by the tests' own sshfs server so that the
// benchmark and the tests mount alike.
//
//   coexec_mount <local folder>
//
// Prints "mount <path>" once the mount is live, then waits for SIGTERM,
// SIGINT or SIGHUP, unmounts, stops sshd and removes its temporary folder.
// Exits 0, 1 when the server failed or left something behind, 77 when there
// is no FUSE here to mount with.  A mount helper that is killed outright
// still takes sshd and sshfs with it (their death signal) and the mount
// (sshfs's auto_unmount).
#include "sshfs_server.h"

#include <signal.h>
#include <stdio.h>

namespace {

volatile sig_atomic_t stop_asked;

void ask_stop(int)
{
    stop_asked = 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] != '/') {
        fprintf(stderr, "Usage: coexec_mount <local folder, absolute path>\n");
        return 2;
    }
    // A handler rather than a blocked mask: sshd and sshfs would inherit the
    // mask and ignore the stop that sshfs_server_stop sends them.
    struct sigaction on_stop = {};
    on_stop.sa_handler = ask_stop;
    sigemptyset(&on_stop.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaction(s, &on_stop, nullptr);

    sshfs_server server;
    int started = sshfs_server_start(&server, argv[1]);
    if (started != sshfs_server_started) {
        fprintf(stderr, "coexec_mount: %s\n", server.message.c_str());
        sshfs_server_stop(&server);
        return started == sshfs_server_no_fuse ? 77 : 1;
    }
    printf("mount %s\n", server.mount_point.c_str());
    fflush(stdout);

    // The flag is read with the signals blocked and sigsuspend opens them
    // atomically, so a stop between the test and the wait is not lost.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, &before);
    while (!stop_asked)
        sigsuspend(&before);
    sigprocmask(SIG_SETMASK, &before, nullptr);

    if (sshfs_server_stop(&server) != 0) {
        fprintf(stderr, "coexec_mount: %s\n", server.message.c_str());
        return 1;
    }
    return 0;
}
