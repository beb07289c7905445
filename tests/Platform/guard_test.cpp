// Guarded calls: each kind of synchronous fault a module can raise ends the
// call with its signal and leaves the thread fit for the next call, on many
// threads at once; a stack overflow is caught on the alternate stack; and a
// fault anywhere else still ends the process (checked in child processes).
//
// The faults are raised by inline assembly, so that neither the optimiser
// (which may turn a provable null store into a trap) nor UBSan in the
// sanitized build (which stops the program before a division by zero) gets
// between the test and the instruction it means.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>
#include <vector>

#include "scratch_folder.h"

namespace {

void write_null(void *)
{
    void *volatile address = nullptr;
    asm volatile("movl $1, (%0)" : : "r"(address) : "memory");
}

void divide_by_zero(void *)
{
    volatile int zero = 0;
    int quotient;
    asm volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(1), "r"((int)zero) : "edx", "cc");
}

void undefined_instruction(void *)
{
    asm volatile("ud2");
}

__attribute__((noinline)) int recurse(volatile int *depth)
{
    volatile char pad[64];
    pad[0] = (char)*depth;
    if (++*depth < 0)
        return 0; // never: the depth only grows, but the compiler cannot know
    return recurse(depth) + pad[0];
}

void overflow_stack(void *)
{
    volatile int depth = 0;
    recurse(&depth);
}

void count_up(void *arg)
{
    ++*static_cast<int *>(arg);
}

struct fault_case {
    void (*routine)(void *);
    int signal;
};
const fault_case fault_cases[] = {
    {write_null, SIGSEGV}, {divide_by_zero, SIGFPE}, {undefined_instruction, SIGILL}, {count_up, 0}};

// Runs body in a child process and returns its wait status; the child ends
// with exit status 10 when body returns.  Its standard error goes nowhere:
// in the sanitized build ASan reports the fault the child is meant to die of.
template <typename body_type> int status_of_child(body_type body)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 2);
        alarm(20);
        body();
        _exit(10);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
}

// The child met the signal outside any guard: killed by it, or, in the
// sanitized build, ended by ASan's report (its handler was in place before
// ours, and a fault that is not a guarded call's goes to it) with the
// sanitizers' exit status, 1 (their default, which the test command keeps).
// The child's own statuses, 10 (the fault was swallowed) and 11 (the guarded
// call before it failed), are not that.
void expect_ended_by(int status, int signal)
{
    if (under_asan && WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 1) << "10: the fault was swallowed; 11: the guarded call failed";
        return;
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal);
}

TEST(guarded_call, each_fault_ends_the_call_with_its_signal)
{
    for (const fault_case &fault : fault_cases) {
        int counter = 0;
        EXPECT_EQ(platform_guarded_call(fault.routine, &counter), fault.signal);
    }
    int counter = 41;
    EXPECT_EQ(platform_guarded_call(count_up, &counter), 0);
    EXPECT_EQ(counter, 42) << "the routine ran once with its argument";
}

using guarded_call_on_a_mapping = scratch_folder;

TEST_F(guarded_call_on_a_mapping, a_bus_error_from_a_page_past_the_files_end_is_caught)
{
    int fd = open(path("empty").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    void *mapping = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(mapping, MAP_FAILED);
    EXPECT_EQ(platform_guarded_call([](void *page) { *static_cast<volatile char *>(page) = 1; }, mapping), SIGBUS);
    munmap(mapping, 4096);
}

TEST(guarded_call, a_stack_overflow_is_caught_and_the_thread_goes_on)
{
    EXPECT_EQ(platform_guarded_call(overflow_stack, nullptr), SIGSEGV);
    EXPECT_EQ(platform_guarded_call(write_null, nullptr), SIGSEGV) << "the alternate stack is free again";
    int counter = 0;
    EXPECT_EQ(platform_guarded_call(count_up, &counter), 0);
    EXPECT_EQ(counter, 1);

    int result = -1;
    std::thread other([&] { result = platform_guarded_call(overflow_stack, nullptr); });
    other.join();
    EXPECT_EQ(result, SIGSEGV) << "a thread of its own gets an alternate stack of its own";
}

TEST(guarded_call, many_threads_fault_over_and_over_and_each_catches_its_own)
{
    const int threads = 4, rounds = 400;
    std::atomic<int> wrong{0}, returned{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            int counter = 0;
            for (int round = 0; round < rounds; ++round) {
                const fault_case &fault = fault_cases[(round + t) % 4];
                if (platform_guarded_call(fault.routine, &counter) != fault.signal)
                    ++wrong;
            }
            returned += counter;
        });
    for (std::thread &thread : pool)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(returned.load(), threads * rounds / 4) << "every returning call ran to its end";
}

TEST(guarded_call, a_nested_call_catches_its_own_fault_and_the_outer_one_returns)
{
    struct nest {
        int inner;
        int after;
    } state = {-1, 0};
    int outer = platform_guarded_call(
        [](void *arg) {
            nest *n = static_cast<nest *>(arg);
            n->inner = platform_guarded_call(divide_by_zero, nullptr);
            n->after = 1;
        },
        &state);
    EXPECT_EQ(outer, 0);
    EXPECT_EQ(state.inner, SIGFPE);
    EXPECT_EQ(state.after, 1);
    EXPECT_EQ(platform_guarded_call(write_null, nullptr), SIGSEGV) << "the outer guard is back in place";
}

TEST(guarded_call, a_fault_outside_a_guarded_call_still_ends_the_process)
{
    expect_ended_by(status_of_child([] {
                        if (platform_guarded_call(write_null, nullptr) != SIGSEGV)
                            _exit(11);
                        write_null(nullptr);
                    }),
                    SIGSEGV);
    expect_ended_by(status_of_child([] {
                        if (platform_guarded_call(undefined_instruction, nullptr) != SIGILL)
                            _exit(11);
                        divide_by_zero(nullptr);
                    }),
                    SIGFPE);
}

TEST(guarded_call, a_fault_on_another_thread_ends_the_process_while_a_guard_is_active)
{
    expect_ended_by(status_of_child([] {
                        static std::atomic<int> faulted{0};
                        platform_guarded_call(
                            [](void *) {
                                std::thread other([] { write_null(nullptr); });
                                other.join(); // never returns: the process ends first
                                faulted = 1;
                            },
                            nullptr);
                    }),
                    SIGSEGV);
}

TEST(guarded_call, a_signal_sent_by_kill_is_not_taken_for_a_fault)
{
    expect_ended_by(status_of_child([] {
                        platform_guarded_call([](void *) { kill(getpid(), SIGSEGV); }, nullptr);
                    }),
                    SIGSEGV);
}

} // namespace
