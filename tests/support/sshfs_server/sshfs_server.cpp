// The sshfs test server: keys, sshd configuration, sshd, the mount, and the
// way back.  See sshfs_server.h for the choices behind the mount options.
#include "sshfs_server.h"

#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

enum {
    port_attempts = 5,
    // Bounds for a loaded machine: sshd and sshfs are up within a second or
    // two even then, and a wait only runs this long when something is wrong.
    sshd_start_ms = 20000,
    mount_start_ms = 30000,
    command_ms = 20000,
    sshfs_exit_ms = 10000,
    sshd_exit_ms = 5000,
    helpers_exit_ms = 10000,
    poll_ms = 10,
};

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !out.fail();
}

struct programs {
    std::string sshd;
    std::string sshfs;
    std::string keygen;
    std::string fusermount;
};

int find_programs(programs *found, std::string *message)
{
    found->sshd = fixture_find_program("sshd");
    found->sshfs = fixture_find_program("sshfs");
    found->keygen = fixture_find_program("ssh-keygen");
    found->fusermount = fixture_find_program("fusermount3");
    if (found->fusermount.empty())
        found->fusermount = fixture_find_program("fusermount");
    // sshfs runs "ssh" through PATH itself.
    std::string ssh = fixture_find_program("ssh");
    const char *missing = found->sshd.empty() ? "sshd"
                          : found->sshfs.empty() ? "sshfs"
                          : found->keygen.empty() ? "ssh-keygen"
                          : ssh.empty() ? "ssh"
                          : found->fusermount.empty() ? "fusermount3"
                                                      : nullptr;
    if (!missing)
        return 0;
    *message = std::string(missing) + " is not installed: run scripts/install-deps.sh";
    return -1;
}

// The programs and the name to log in with, which a start and a restart
// both need before they touch anything.
int find_tools(sshfs_server *server, programs *found, std::string *user)
{
    if (find_programs(found, &server->message) != 0)
        return -1;
    struct passwd *account = getpwuid(geteuid());
    if (!account) {
        server->message = "this user has no name to log in with";
        return -1;
    }
    *user = account->pw_name;
    return 0;
}

int make_keys(const sshfs_server *server, const programs &found, std::string *message)
{
    for (const char *name : {"host_key", "user_key"}) {
        std::string key = server->folder + "/" + name;
        std::string log = server->folder + "/keygen.log";
        if (fixture_run({found.keygen, "-q", "-t", "ed25519", "-N", "", "-C", "zeq-test", "-f", key}, log,
                        command_ms) != 0) {
            *message = "ssh-keygen failed:\n" + fixture_log_tail(log);
            return -1;
        }
    }
    if (!write_file(server->folder + "/authorized_keys", fixture_read_text(server->folder + "/user_key.pub"))) {
        *message = "cannot write authorized_keys";
        return -1;
    }
    return 0;
}

std::string sshd_config(const sshfs_server *server, const std::string &user)
{
    std::ostringstream text;
    text << "ListenAddress 127.0.0.1\n"
         << "Port " << server->port << "\n"
         << "AddressFamily inet\n"
         << "HostKey " << server->folder << "/host_key\n"
         << "AuthorizedKeysFile " << server->folder << "/authorized_keys\n"
         << "AllowUsers " << user << "\n"
         << "PidFile none\n"
         // The keys live in a temporary folder that sshd's owner checks would refuse.
         << "StrictModes no\n"
         << "UsePAM no\n"
         << "PermitRootLogin prohibit-password\n"
         << "PubkeyAuthentication yes\n"
         << "PasswordAuthentication no\n"
         << "KbdInteractiveAuthentication no\n"
         << "UseDNS no\n"
         << "X11Forwarding no\n"
         << "PrintMotd no\n"
         << "Subsystem sftp internal-sftp\n";
    return text.str();
}

// Starts sshd on a free port and waits until it listens.  sshd says so on
// standard error ("Server listening on ..."), which tells our sshd apart from
// whatever else might answer on the port.
int start_sshd(sshfs_server *server, const programs &found, const std::string &user, std::string *message)
{
    std::string config = server->folder + "/sshd_config";
    std::string log = server->folder + "/sshd.log";
    for (int attempt = 0; attempt < port_attempts; ++attempt) {
        server->port = fixture_free_port();  // another process may take it first: tried again
        if (server->port <= 0 || !write_file(config, sshd_config(server, user))) {
            *message = "cannot pick a port or write sshd_config";
            return -1;
        }
        write_file(log, "");
        // An absolute path: sshd re-executes itself for every connection.
        server->sshd = fixture_spawn({found.sshd, "-D", "-e", "-f", config}, log, SIGTERM);
        if (server->sshd < 0) {
            server->sshd = 0;
            *message = "cannot fork sshd";
            return -1;
        }
        std::string listening = "Server listening on 127.0.0.1 port " + std::to_string(server->port) + ".";
        for (int waited = 0; waited < sshd_start_ms; waited += poll_ms) {
            if (fixture_read_text(log).find(listening) != std::string::npos)
                return 0;
            if (fixture_wait(server->sshd, 0) != fixture_running) {
                server->sshd = 0;
                break;
            }
            fixture_sleep_ms(poll_ms);
        }
        if (server->sshd != 0) {
            *message = "sshd did not start listening within the bound:\n" + fixture_log_tail(log);
            return -1;
        }
        if (fixture_read_text(log).find("Address already in use") == std::string::npos) {
            *message = "sshd ended at start:\n" + fixture_log_tail(log);
            return -1;
        }
    }
    *message = "sshd found no free port in " + std::to_string(port_attempts) + " attempts";
    return -1;
}

bool mount_is_live(const sshfs_server *server)
{
    struct stat mounted, parent;
    return sshfs_mount_listed(server->mount_point) && stat(server->mount_point.c_str(), &mounted) == 0 &&
           stat(server->folder.c_str(), &parent) == 0 && mounted.st_dev != parent.st_dev;
}

// sshfs's (or fusermount's) complaint when the system has no FUSE for us,
// as opposed to any other reason for sshfs to end: the line that says so,
// or "".
std::string no_fuse_line(const std::string &log)
{
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("fuse") == std::string::npos)
            continue;
        for (const char *refusal : {"Permission denied", "Operation not permitted", "No such file or directory",
                                    "device not found", "No such device"})
            if (line.find(refusal) != std::string::npos)
                return line;
    }
    return "";
}

int mount_folder(sshfs_server *server, const programs &found, const std::string &user, std::string *message)
{
    std::string known_hosts = server->folder + "/known_hosts";
    std::string host_key = fixture_read_text(server->folder + "/host_key.pub");
    if (!write_file(known_hosts, "[127.0.0.1]:" + std::to_string(server->port) + " " + host_key)) {
        *message = "cannot write known_hosts";
        return sshfs_server_failed;
    }
    std::string ssh_options = "port=" + std::to_string(server->port) + ",IdentityFile=" + server->folder +
                              "/user_key,IdentitiesOnly=yes,UserKnownHostsFile=" + known_hosts +
                              ",GlobalKnownHostsFile=/dev/null,StrictHostKeyChecking=yes,BatchMode=yes" +
                              std::string(sshfs_keep_alive_options);
    std::string log = server->folder + "/sshfs.log";
    // -F /dev/null: no ssh configuration of the user's changes the connection.
    server->sshfs = fixture_spawn({found.sshfs, "-f", user + "@127.0.0.1:" + server->exported, server->mount_point,
                                   "-F", "/dev/null", "-o", ssh_options, "-o",
                                   std::string(sshfs_cache_options) + ",reconnect,auto_unmount"},
                                  log, SIGTERM);
    if (server->sshfs < 0) {
        server->sshfs = 0;
        *message = "cannot fork sshfs";
        return sshfs_server_failed;
    }
    for (int waited = 0; waited < mount_start_ms; waited += poll_ms) {
        if (mount_is_live(server)) {
            server->mounted = 1;
            return sshfs_server_started;
        }
        if (fixture_wait(server->sshfs, 0) != fixture_running) {
            server->sshfs = 0;
            std::string refusal = no_fuse_line(fixture_read_text(log));
            if (!refusal.empty()) {
                *message = "FUSE is not available here, so nothing can be mounted (" + refusal + ")";
                return sshfs_server_no_fuse;
            }
            *message = "sshfs ended without mounting:\n" + fixture_log_tail(log);
            return sshfs_server_failed;
        }
        fixture_sleep_ms(poll_ms);
    }
    *message = "sshfs did not mount within the bound:\n" + fixture_log_tail(log);
    return sshfs_server_failed;
}

int unmount(sshfs_server *server, const std::string &fusermount)
{
    std::string log = server->folder + "/fusermount.log";
    if (sshfs_mount_listed(server->mount_point))
        fixture_run({fusermount, "-u", server->mount_point}, log, command_ms);
    // A mount that is busy (a process still inside it) goes lazily: it is
    // gone from the tree at once and freed when the last user lets go.
    if (sshfs_mount_listed(server->mount_point))
        fixture_run({fusermount, "-u", "-z", server->mount_point}, log, command_ms);
    if (sshfs_mount_listed(server->mount_point))
        umount2(server->mount_point.c_str(), MNT_DETACH);
    server->mounted = sshfs_mount_listed(server->mount_point);
    return server->mounted ? -1 : 0;
}

} // namespace

int sshfs_mount_listed(const std::string &path)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target, type;
        fields >> source >> target >> type;
        if (target == path && type.compare(0, 4, "fuse") == 0)
            return 1;
    }
    return 0;
}

int sshfs_server_signal_sshd(const sshfs_server *server, int signal)
{
    if (server->sshd <= 0)
        return 0;
    std::vector<fixture_process> tree;
    fixture_process_tree(server->sshd, &tree);
    int signalled = 0;
    for (const fixture_process &process : tree)
        if (fixture_process_alive(process) && kill(process.pid, signal) == 0)
            ++signalled;
    return signalled;
}

int sshfs_server_kill_sshd(sshfs_server *server, int wait_ms)
{
    if (server->sshd <= 0)
        return -1;
    std::vector<fixture_process> tree;
    fixture_process_tree(server->sshd, &tree);
    for (const fixture_process &process : tree)
        kill(process.pid, SIGKILL);
    fixture_wait(server->sshd, sshd_exit_ms);
    server->sshd = 0;
    // The mount stays (reconnect): sshfs tries the dead port again at each
    // step, which fails at once, until sshfs_server_restart replaces it.
    return fixture_reap_all(tree, wait_ms) == 0 ? 0 : -1;
}

int sshfs_server_restart(sshfs_server *server)
{
    programs found;
    std::string user;
    if (find_tools(server, &found, &user) != 0)
        return sshfs_server_failed;
    // Whatever is left of the old mount goes first: an sshfs that still
    // runs, a mount listed after its sshfs ended.
    if (server->sshfs > 0) {
        unmount(server, found.fusermount);
        fixture_stop_child(server->sshfs, SIGTERM, sshfs_exit_ms);
        server->sshfs = 0;
    }
    if (unmount(server, found.fusermount) != 0) {
        server->message = "the old mount at " + server->mount_point + " could not be removed";
        return sshfs_server_failed;
    }
    fixture_stop_child(server->sshd, SIGTERM, sshd_exit_ms);
    server->sshd = 0;
    if (start_sshd(server, found, user, &server->message) != 0)
        return sshfs_server_failed;
    return mount_folder(server, found, user, &server->message);
}

int sshfs_server_start(sshfs_server *server, const std::string &exported)
{
    *server = sshfs_server{};
    server->exported = exported;
    if (access("/dev/fuse", F_OK) != 0) {
        server->message = "FUSE is not available here: /dev/fuse is missing";
        return sshfs_server_no_fuse;
    }
    programs found;
    std::string user;
    if (find_tools(server, &found, &user) != 0)
        return sshfs_server_failed;
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_sshfs_XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        server->message = "cannot make a temporary folder in " + pattern;
        return sshfs_server_failed;
    }
    server->folder = pattern;
    server->mount_point = server->folder + "/mnt";
    // sshd run by root separates privileges into an empty folder it expects here.
    if (geteuid() == 0 && mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
        server->message = std::string("cannot make /run/sshd: ") + strerror(errno);
        return sshfs_server_failed;
    }
    if (mkdir(server->mount_point.c_str(), 0700) != 0) {
        server->message = "cannot make the mount point " + server->mount_point;
        return sshfs_server_failed;
    }
    if (make_keys(server, found, &server->message) != 0 || start_sshd(server, found, user, &server->message) != 0)
        return sshfs_server_failed;
    int mounted = mount_folder(server, found, user, &server->message);
    if (mounted == sshfs_server_no_fuse) {
        // Not a failure: nothing of ours may be left running for the skip.
        std::string why = server->message;
        sshfs_server_stop(server);
        server->message = why;
    }
    return mounted;
}

void sshfs_server_processes(const sshfs_server *server, std::vector<fixture_process> *out)
{
    if (server->sshd > 0)
        fixture_process_tree(server->sshd, out);
    if (server->sshfs > 0)
        fixture_process_tree(server->sshfs, out);
}

int sshfs_server_stop(sshfs_server *server)
{
    std::vector<fixture_process> started;
    sshfs_server_processes(server, &started);
    std::string problems;
    if (!server->mount_point.empty()) {
        std::string fusermount = fixture_find_program("fusermount3");
        if (fusermount.empty())
            fusermount = fixture_find_program("fusermount");
        if (unmount(server, fusermount) != 0)
            problems += "the mount at " + server->mount_point + " could not be removed; ";
    }
    // Unmounted, sshfs ends by itself, and with it its ssh client and the
    // connection's processes in sshd.
    if (server->sshfs > 0 && fixture_wait(server->sshfs, sshfs_exit_ms) == fixture_running) {
        fixture_stop_child(server->sshfs, SIGTERM, 2000);
        problems += "sshfs did not end after the unmount; ";
    }
    server->sshfs = 0;
    fixture_stop_child(server->sshd, SIGTERM, sshd_exit_ms);
    server->sshd = 0;
    int killed = fixture_reap_all(started, helpers_exit_ms);
    if (killed > 0)
        problems += std::to_string(killed) + " process(es) had to be killed; ";
    if (!server->folder.empty() && !server->mounted) {
        // Never while mounted: removing the tree would reach through the
        // mount into the exported folder.
        std::error_code ignored;
        std::filesystem::remove_all(server->folder, ignored);
        server->folder.clear();
    }
    if (problems.empty())
        return 0;
    server->message = problems;
    return -1;
}
