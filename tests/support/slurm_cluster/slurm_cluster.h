// A private Slurm cluster for tests: a controller and a node daemon on this
// machine, started by the test and stopped by it, whatever happened.
//
// Everything lives in a fresh temporary folder (slurm.conf, state, spool,
// logs).  The daemons listen on 127.0.0.1 alone, authenticate nobody and
// track a job's processes by their parents, so neither munge nor cgroups are
// needed.  The node is this machine, declared with more processors than it
// may have, so that a few one-processor jobs run side by side; the kill wait
// (SIGTERM to SIGKILL) is 3 s, so that a test can outlast it.  Every program
// gets SLURM_CONF in its own environment, never the test's, and jobs inherit
// it: that is how slurm_cluster_stop finds whatever is left.
#ifndef ZEQ_TESTS_SLURM_CLUSTER_H
#define ZEQ_TESTS_SLURM_CLUSTER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "fixture_process.h"

enum {
    slurm_cluster_started = 0,
    slurm_cluster_unavailable = 1, // Slurm cannot run here (message says why): nothing to test on
    slurm_cluster_failed = -1,
};

struct slurm_cluster {
    std::string folder;  // the temporary folder holding everything below
    std::string conf;    // folder + "/slurm.conf"
    std::string node;    // the node's name
    std::string message; // why starting or stopping failed, or why Slurm cannot run here
    pid_t controller;    // slurmctld, 0 when not running
    pid_t node_daemon;   // slurmd, 0 when not running
};

// Starts the controller and the node daemon with `cpus` processors on the
// node, and waits until the node is idle.  Returns slurm_cluster_started,
// slurm_cluster_unavailable (nothing is left running then) or
// slurm_cluster_failed (call slurm_cluster_stop all the same).
int slurm_cluster_start(slurm_cluster *cluster, int cpus);
// Runs a client command (sbatch, squeue, scancel, scontrol, sinfo: found in
// PATH and the sbin folders) with the cluster's configuration and the extra
// environment ("NAME=value").  Returns its exit status, or -1 when it could
// not run or outlasted timeout_ms; its output (standard error included) goes
// to *output when given.
int slurm_command(const slurm_cluster *cluster, const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {}, std::string *output = nullptr, int timeout_ms = 30000);
// sbatch --parsable with args: the job id (an array's first), or -1 with
// the command's output in cluster->message.
long slurm_submit(slurm_cluster *cluster, const std::vector<std::string> &args, const std::vector<std::string> &env);
// The ids of the jobs still in the queue (array tasks as <array>_<task>).
std::vector<std::string> slurm_queue(const slurm_cluster *cluster);
// "KEY=value" of `scontrol show job <id>`, "" when the job or the key is unknown.
std::string slurm_job_field(const slurm_cluster *cluster, long job, const std::string &key);
// Live processes whose environment holds this cluster's SLURM_CONF (daemons,
// step daemons, jobs), and those of them whose SLURM_JOB_ID is job.
std::vector<fixture_process> slurm_cluster_processes(const slurm_cluster *cluster);
std::vector<pid_t> slurm_job_processes(const slurm_cluster *cluster, long job);

// Cancels every job, waits until the queue is empty (a cancelled job's
// processes get the cluster's KillWait to end), shuts both daemons down with
// `scontrol shutdown`, waits for them, kills whatever of the cluster still
// runs and removes the folder.  Safe on a cluster that never started or is
// stopped.  Returns 0, or -1 when something had to be killed or could not be
// removed (message says what).
int slurm_cluster_stop(slurm_cluster *cluster);

#endif
