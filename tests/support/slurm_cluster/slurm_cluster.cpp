// The private Slurm cluster of the tests (see slurm_cluster.h).
#include "slurm_cluster.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The node is idle within about a second; a loaded machine gets far more.
enum { start_wait_ms = 30000, queue_wait_ms = 60000, daemon_wait_ms = 10000 };

std::string short_host_name(void)
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    char *dot = strchr(name, '.');
    if (dot)
        *dot = 0;
    return name;
}

bool write_conf(slurm_cluster *cluster, int cpus)
{
    int controller_port = fixture_free_port(), node_port = fixture_free_port();
    if (controller_port < 0 || node_port < 0 || controller_port == node_port) {
        cluster->message = "no free port on 127.0.0.1";
        return false;
    }
    const std::string &f = cluster->folder;
    std::ofstream conf(cluster->conf);
    conf << "ClusterName=zeqtest\n"
         << "SlurmctldHost=" << cluster->node << "(127.0.0.1)\n"
         << "SlurmctldPort=" << controller_port << "\nSlurmdPort=" << node_port << "\n"
         << "AuthType=auth/none\nCredType=cred/none\n"
         << "SlurmUser=root\nSlurmdUser=root\n"
         << "StateSaveLocation=" << f << "/state\nSlurmdSpoolDir=" << f << "/spool\n"
         << "SlurmctldPidFile=" << f << "/slurmctld.pid\nSlurmdPidFile=" << f << "/slurmd.pid\n"
         << "SlurmctldLogFile=" << f << "/slurmctld.log\nSlurmdLogFile=" << f << "/slurmd.log\n"
         << "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
         << "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\n"
         << "JobCompType=jobcomp/none\nSwitchType=switch/none\nMpiDefault=none\n"
         << "SchedulerType=sched/builtin\nSelectType=select/cons_tres\nSelectTypeParameters=CR_CPU\n"
         << "SlurmdParameters=config_overrides\nReturnToService=2\n"
         // SIGKILL follows SIGTERM this long after: short, so that a test can
         // outlast it; a drain in a test takes well under a second.
         << "KillWait=3\nMinJobAge=600\n"
         << "NodeName=" << cluster->node << " NodeAddr=127.0.0.1 CPUs=" << cpus << " State=UNKNOWN\n"
         << "PartitionName=zeq Nodes=ALL Default=YES MaxTime=INFINITE State=UP\n";
    conf.close();
    if (!conf) {
        cluster->message = "cannot write " + cluster->conf;
        return false;
    }
    return true;
}

// argv of a program of the cluster, run through env with SLURM_CONF set.
std::vector<std::string> with_conf(const slurm_cluster *cluster, const std::string &program,
                                   const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    std::vector<std::string> argv = {fixture_find_program("env"), "SLURM_CONF=" + cluster->conf};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

bool node_idle(const slurm_cluster *cluster)
{
    std::string state;
    return slurm_command(cluster, {"sinfo", "-h", "-N", "-o", "%T"}, {}, &state, 5000) == 0 &&
           state.rfind("idle", 0) == 0;
}

// The node daemon gave up, or never got the node idle: a container that
// refuses what it needs is no fault of the test's.
int node_failure(slurm_cluster *cluster)
{
    std::string log = fixture_read_text(cluster->folder + "/slurmd.log") + fixture_read_text(cluster->folder + "/slurmd.out");
    bool refused = log.find("cgroup") != std::string::npos || log.find("Operation not permitted") != std::string::npos;
    cluster->message = std::string(refused ? "the node daemon cannot run in this container: "
                                           : "the node never became idle: ") +
                       fixture_log_tail(cluster->folder + "/slurmd.log");
    return refused ? slurm_cluster_unavailable : slurm_cluster_failed;
}

} // namespace

int slurm_command(const slurm_cluster *cluster, const std::vector<std::string> &args,
                  const std::vector<std::string> &env, std::string *output, int timeout_ms)
{
    std::string program = fixture_find_program(args[0].c_str());
    if (program.empty())
        return -1;
    std::string log = cluster->folder + "/command.out";
    unlink(log.c_str());
    std::vector<std::string> rest(args.begin() + 1, args.end());
    int status = fixture_run_status(with_conf(cluster, program, rest, env), log, timeout_ms);
    if (output)
        *output = fixture_read_text(log);
    return status;
}

int slurm_cluster_start(slurm_cluster *cluster, int cpus)
{
    *cluster = slurm_cluster{};
    for (const char *program : {"slurmctld", "slurmd", "sbatch", "squeue", "scancel", "scontrol", "sinfo", "env"})
        if (fixture_find_program(program).empty()) {
            cluster->message = std::string(program) + " is not installed (Debian packages slurmctld, slurmd, slurm-client)";
            return slurm_cluster_unavailable;
        }
    if (geteuid() != 0) {
        cluster->message = "slurmd starts jobs as their users and runs only as root";
        return slurm_cluster_unavailable;
    }
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_slurm_XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        cluster->message = "cannot make " + pattern;
        return slurm_cluster_failed;
    }
    cluster->folder = pattern;
    cluster->conf = cluster->folder + "/slurm.conf";
    cluster->node = short_host_name();
    std::error_code error;
    std::filesystem::create_directories(cluster->folder + "/state", error);
    std::filesystem::create_directories(cluster->folder + "/spool", error);
    if (!write_conf(cluster, cpus))
        return slurm_cluster_failed;
    // In the foreground (-D), so that each is this process's child; a fresh
    // state (-c), and none of the state a crashed run may have left (-i).
    cluster->controller = fixture_spawn(with_conf(cluster, fixture_find_program("slurmctld"), {"-D", "-c", "-i"}, {}),
                                        cluster->folder + "/slurmctld.out", SIGKILL);
    cluster->node_daemon = fixture_spawn(with_conf(cluster, fixture_find_program("slurmd"), {"-D", "-N", cluster->node}, {}),
                                         cluster->folder + "/slurmd.out", SIGKILL);
    if (cluster->controller < 0 || cluster->node_daemon < 0) {
        cluster->message = "cannot start the daemons";
        return slurm_cluster_failed;
    }
    for (int waited = 0; waited < start_wait_ms; waited += 100) {
        if (fixture_wait(cluster->node_daemon, 0) != fixture_running) {
            cluster->node_daemon = 0;
            int why = node_failure(cluster);
            if (why == slurm_cluster_unavailable)
                slurm_cluster_stop(cluster);
            return why;
        }
        if (fixture_wait(cluster->controller, 0) != fixture_running) {
            cluster->controller = 0;
            cluster->message = "the controller ended: " + fixture_log_tail(cluster->folder + "/slurmctld.log");
            return slurm_cluster_failed;
        }
        if (node_idle(cluster))
            return slurm_cluster_started;
        fixture_sleep_ms(100);
    }
    return node_failure(cluster);
}

long slurm_submit(slurm_cluster *cluster, const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    std::vector<std::string> command = {"sbatch", "--parsable"};
    command.insert(command.end(), args.begin(), args.end());
    std::string output;
    int status = slurm_command(cluster, command, env, &output);
    // --parsable prints "<id>" or "<id>;<cluster>".
    long job = status == 0 ? atol(output.c_str()) : 0;
    if (job <= 0) {
        cluster->message = "sbatch failed: " + output;
        return -1;
    }
    return job;
}

std::vector<std::string> slurm_queue(const slurm_cluster *cluster)
{
    std::string output;
    std::vector<std::string> jobs;
    if (slurm_command(cluster, {"squeue", "-h", "-o", "%i"}, {}, &output, 10000) != 0)
        return {"(squeue failed: " + output + ")"};
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            jobs.push_back(line);
    return jobs;
}

std::string slurm_job_field(const slurm_cluster *cluster, long job, const std::string &key)
{
    std::string output;
    if (slurm_command(cluster, {"scontrol", "-o", "show", "job", std::to_string(job)}, {}, &output, 10000) != 0)
        return "";
    std::istringstream words(output);
    for (std::string word; words >> word;)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return "";
}

std::vector<fixture_process> slurm_cluster_processes(const slurm_cluster *cluster)
{
    std::vector<fixture_process> found;
    fixture_processes_with_environment({"SLURM_CONF=" + cluster->conf}, &found);
    return found;
}

std::vector<pid_t> slurm_job_processes(const slurm_cluster *cluster, long job)
{
    std::vector<fixture_process> found;
    fixture_processes_with_environment({"SLURM_CONF=" + cluster->conf, "SLURM_JOB_ID=" + std::to_string(job)}, &found);
    std::vector<pid_t> pids;
    for (const fixture_process &process : found)
        pids.push_back(process.pid);
    return pids;
}

int slurm_cluster_stop(slurm_cluster *cluster)
{
    if (cluster->folder.empty())
        return 0;
    int result = 0;
    std::string problems;
    if (cluster->controller > 0) {
        // Cancel, and let the jobs end before the daemons go: a node daemon
        // shut down under running jobs leaves their step daemons behind.
        slurm_command(cluster, {"scancel", "--partition=zeq"}, {}, nullptr, 10000);
        std::vector<std::string> queue;
        for (int waited = 0; waited < queue_wait_ms; waited += 100) {
            queue = slurm_queue(cluster);
            if (queue.empty())
                break;
            fixture_sleep_ms(100);
        }
        if (!queue.empty()) {
            result = -1;
            problems += "jobs still queued after " + std::to_string(queue_wait_ms) + " ms; ";
        }
        slurm_command(cluster, {"scontrol", "shutdown"}, {}, nullptr, 10000);
    }
    for (pid_t *daemon : {&cluster->controller, &cluster->node_daemon}) {
        if (*daemon <= 0)
            continue;
        if (fixture_wait(*daemon, daemon_wait_ms) == fixture_running) {
            kill(*daemon, SIGKILL);
            fixture_wait(*daemon, 5000);
            result = -1;
            problems += "a daemon had to be killed; ";
        }
        *daemon = 0;
    }
    std::vector<fixture_process> left = slurm_cluster_processes(cluster);
    if (!left.empty()) {
        result = -1;
        problems += std::to_string(left.size()) + " processes of the cluster left running (pid " +
                    std::to_string(left[0].pid) + "); ";
        fixture_reap_all(left, 0);
    }
    if (result != 0)
        cluster->message = problems + "slurmd: " + fixture_log_tail(cluster->folder + "/slurmd.log") +
                           " slurmctld: " + fixture_log_tail(cluster->folder + "/slurmctld.log");
    std::error_code error;
    std::filesystem::remove_all(cluster->folder, error);
    if (error) {
        result = -1;
        cluster->message += " cannot remove " + cluster->folder;
    }
    cluster->folder.clear();
    return result;
}
