// An empty `#pragma omp parallel` on this runtime against LLVM's OpenMP
// runtime and GCC's libgomp, in one run.  Each runtime needs a process of its
// own, so every benchmark iteration starts the matching build of
// empty_region.c, which runs a batch of regions and prints the mean time per
// region; that figure is reported as the iteration's (manual) time, so the
// Time column reads directly as time per region.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char regions_per_run[] = "20000";

// Runs program with the batch size; the per-region time in ns, or -1.
double run_child(const char *program)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char *argv[] = {(char *)program, (char *)regions_per_run, nullptr};
    pid_t pid;
    int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    char text[64] = {0};
    size_t used = 0;
    ssize_t got;
    while (used < sizeof text - 1 && (got = read(fds[0], text + used, sizeof text - 1 - used)) > 0)
        used += (size_t)got;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || used == 0)
        return -1;
    return strtod(text, nullptr);
}

void empty_region(benchmark::State &state, const char *program)
{
    for (auto _ : state) {
        double ns = run_child(program);
        if (ns < 0) {
            state.SkipWithError("the timing program failed");
            return;
        }
        state.SetIterationTime(ns * 1e-9);
    }
}

} // namespace

BENCHMARK_CAPTURE(empty_region, zeq, ZEQ_PROGRAM_ZEQ)->UseManualTime()->Iterations(15)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(empty_region, libomp, ZEQ_PROGRAM_LIBOMP)->UseManualTime()->Iterations(15)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(empty_region, libgomp, ZEQ_PROGRAM_LIBGOMP)->UseManualTime()->Iterations(15)->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
