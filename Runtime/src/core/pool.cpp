// The worker pool: the loop every worker runs, adding workers, and waiting for
// them to leave when the library is unloaded.
//
// Workers are kept in a list of joinable threads; the list exists only so that
// an unload can join them, since a worker that merely announced its exit may
// still be executing the last instructions of this library.
#include "runtime.h"

namespace {

struct worker_node {
    platform_thread thread;
    worker_node *next;
};

worker_node *volatile worker_nodes = nullptr;

} // namespace

void worker_main(void *)
{
    mark_pool_worker();
    thread_record *rec = get_thread_record();
    if (!rec) {
        __atomic_sub_fetch(&pool.live_workers, 1, __ATOMIC_SEQ_CST);
        return;
    }
    while (__atomic_load_n(&pool.shutdown_count, __ATOMIC_SEQ_CST) == 0) {
        intptr_t n = __atomic_add_fetch(&pool.active_count, 1, __ATOMIC_SEQ_CST);
        if (n > __atomic_load_n(&pool.pool_size, __ATOMIC_RELAXED)) {
            __atomic_sub_fetch(&pool.active_count, 1, __ATOMIC_SEQ_CST);
            __atomic_add_fetch(&pool.parked_count, 1, __ATOMIC_SEQ_CST);
            platform_semaphore_wait(&pool.park_semaphore);
        } else {
            platform_semaphore_wait(&pool.job_semaphore);
            qiv_exported_pick_job();
            __atomic_sub_fetch(&pool.active_count, 1, __ATOMIC_SEQ_CST);
        }
    }
    release_record(rec);
    __atomic_sub_fetch(&pool.shutdown_count, 1, __ATOMIC_SEQ_CST);
    __atomic_sub_fetch(&pool.live_workers, 1, __ATOMIC_SEQ_CST);
}

int add_worker(void)
{
    worker_node *node = static_cast<worker_node *>(platform_alloc_zeroed(sizeof(worker_node)));
    if (!node)
        return -1;
    if (platform_thread_start(&node->thread, worker_main, nullptr) != 0) {
        platform_free(node);
        return -1;
    }
    __atomic_add_fetch(&pool.live_workers, 1, __ATOMIC_SEQ_CST);
    worker_node *head = __atomic_load_n(&worker_nodes, __ATOMIC_RELAXED);
    do {
        node->next = head;
    } while (!__atomic_compare_exchange_n(&worker_nodes, &head, node, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    return 0;
}

int join_workers(uint32_t timeout_ms)
{
    uint64_t deadline = platform_monotonic_ms() + timeout_ms;
    int still_running = 0;
    worker_node *node = __atomic_exchange_n(&worker_nodes, nullptr, __ATOMIC_SEQ_CST);
    while (node) {
        worker_node *next = node->next;
        uint64_t now = platform_monotonic_ms();
        uint32_t left = now < deadline ? (uint32_t)(deadline - now) : 0;
        if (platform_thread_timed_join(node->thread, left) != 0) {
            platform_thread_detach(node->thread);
            ++still_running;
        }
        platform_free(node);
        node = next;
    }
    return still_running;
}
