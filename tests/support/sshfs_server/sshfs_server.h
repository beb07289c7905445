// A network folder for tests and benchmarks: a private sshd on 127.0.0.1 and
// an sshfs mount, through it, of a local folder.
//
// Programs that work on the mount see the folder the way a second machine
// sees a shared folder: every step goes through the SFTP server, and the
// kernel's change notifications on the local folder never reach them (nor
// theirs the local side).  Everything lives in a fresh temporary folder: the
// host key, the user key and its authorized_keys, the sshd configuration, the
// logs and the mount point.  sshd listens on a port found free by binding
// port 0, and is started again on another port when something takes that one
// first.
//
// The mount is made so that what one side does is seen by the other at once,
// as a protocol over shared files needs: sshfs keeps no directory cache
// (dir_cache=no), and the kernel keeps names, attributes and missing names
// for no time at all (entry_timeout, attr_timeout and negative_timeout 0).
// Hard links stay on (sshfs's default): a rename that must not replace its
// target falls back on link and unlink there, since FUSE refuses
// RENAME_NOREPLACE.  The keep-alive options below bound how long a silent
// server blocks a step.  auto_unmount removes the mount should sshfs die
// without unmounting.
//
// Both child processes get a death signal, so they end with the thread that
// started the server (in tests and benchmarks: the main thread) even when the
// test crashes; sshfs_server_stop ends them and everything they started in
// the regular way.
#ifndef ZEQ_TESTS_SSHFS_SERVER_H
#define ZEQ_TESTS_SSHFS_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "fixture_process.h"

// The mount options the README gives users, kept here once for the tests,
// the benchmarks and the soak.  Caches off, so each side sees the other's
// steps at once.  Keep-alive: a server that stops answering (stopped, gone,
// its network cut) turns into errors after ServerAliveInterval x
// ServerAliveCountMax seconds, about 6, instead of blocking every step for as
// long as it stays silent; ConnectTimeout bounds each attempt to connect
// again, and reconnect makes the next step after an error try it, so a
// server that comes back is used again without a new mount.
inline constexpr const char sshfs_cache_options[] = "dir_cache=no,entry_timeout=0,attr_timeout=0,negative_timeout=0";
inline constexpr const char sshfs_keep_alive_options[] = ",ServerAliveInterval=2,ServerAliveCountMax=3,ConnectTimeout=5";

enum {
    sshfs_server_started = 0,
    sshfs_server_no_fuse = 1, // FUSE is missing or refused here: nothing to test on
    sshfs_server_failed = -1,
};

struct sshfs_server {
    std::string folder;      // the temporary folder holding everything below
    std::string exported;    // the local folder that the mount shows
    std::string mount_point; // folder + "/mnt"
    std::string message;     // why starting or stopping failed, or why there is no FUSE
    int port;                // sshd's, on 127.0.0.1
    pid_t sshd;              // 0 when not running
    pid_t sshfs;             // 0 when not running
    int mounted;             // 1 while the mount is listed
};

// Starts sshd and mounts exported (an existing local folder, absolute path)
// at server->mount_point.  Returns sshfs_server_started, sshfs_server_no_fuse
// (nothing is left running then) or sshfs_server_failed (message says why;
// call sshfs_server_stop all the same).
int sshfs_server_start(sshfs_server *server, const std::string &exported);
// Unmounts, stops sshd, waits for every process either started, and removes
// the temporary folder.  Safe on a server that never started or is stopped.
// Returns 0, or -1 when the mount could not be removed or a process had to be
// killed (message says which); nothing runs afterwards either way.
int sshfs_server_stop(sshfs_server *server);

// Faults for chaos runs.  sshfs_server_signal_sshd sends signal to sshd and
// every process below it (the connection's, which serve the mount), so that
// SIGSTOP stalls the mount and SIGCONT lets it go on; returns how many were
// signalled.  sshfs_server_kill_sshd ends all of them with SIGKILL, so that
// the mount fails: every step on it fails at once (sshfs stays, and its
// reconnect finds nothing listening); it waits at most wait_ms for them and
// returns 0 when all are gone, else -1.
// sshfs_server_restart starts sshd again (on a new free port) and mounts
// again with the options of sshfs_server_start, first taking away what is
// left of the old mount; a status of sshfs_server_start.
int sshfs_server_signal_sshd(const sshfs_server *server, int signal);
int sshfs_server_kill_sshd(sshfs_server *server, int wait_ms);
int sshfs_server_restart(sshfs_server *server);

// The processes the server runs now: sshd and its connection's processes,
// sshfs, its ssh client and its unmount helper.
void sshfs_server_processes(const sshfs_server *server, std::vector<fixture_process> *out);
// 1 when /proc/self/mounts lists a FUSE mount at path, else 0.
int sshfs_mount_listed(const std::string &path);

#endif
