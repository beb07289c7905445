// The steps on the tree: paths never cut short, one claim among racing
// clients, stamps that a heartbeat refreshes without ever recreating or
// overwriting, liveness by the storing machine's clock, posting and
// publishing that never follow a link or replace an outcome, and failures of
// each step as the fault table makes them.
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent_scratch.h"

namespace {

using server_paths = agent_scratch;
using server_claims = agent_scratch;
using server_stamps = agent_scratch;
using agent_liveness = agent_scratch;
using server_exchange = agent_scratch;

std::string tagged(const std::string &before, const std::string &after)
{
    return before + SERVER_PLATFORM_TAG + after;
}

TEST(server_path, folders_end_with_one_slash_and_a_path_that_does_not_fit_is_refused)
{
    char out[64];
    EXPECT_EQ(server_platform_folder(out, sizeof out, "/srv/r"), 11);
    EXPECT_EQ(std::string(out), tagged("/srv/r/", "/"));
    EXPECT_EQ(server_platform_folder(out, sizeof out, "/srv/r/"), 11);
    EXPECT_EQ(std::string(out), tagged("/srv/r/", "/"));
    EXPECT_EQ(server_agent_folder(out, sizeof out, "r", 999999), 13);
    EXPECT_EQ(std::string(out), tagged("r/", "/999999/"));
    EXPECT_EQ(server_file_path(out, sizeof out, "r/x/0/", SERVER_NAME_ARGS), 14);
    EXPECT_EQ(std::string(out), "r/x/0/args.bin");

    for (int32_t number : {-1, 1000000})
        EXPECT_EQ(server_agent_folder(out, sizeof out, "r", number), -1) << number;
    EXPECT_EQ(server_platform_folder(out, sizeof out, ""), -1);
    EXPECT_EQ(server_agent_folder(out, 9, "r", 12345), -1);
    EXPECT_EQ(std::string(out), "") << "a cut path would name another file";
    EXPECT_EQ(server_file_path(out, 14, "r/x/0/", SERVER_NAME_ARGS), -1);
    EXPECT_EQ(std::string(out), "");
}

TEST_F(server_paths, folders_are_made_once_and_names_are_told_apart)
{
    std::string made = folder + "1";
    EXPECT_EQ(server_make_folder(made.c_str()), (int)server_folder_made);
    EXPECT_EQ(server_make_folder(made.c_str()), (int)server_folder_taken);
    EXPECT_EQ(server_make_folder((folder + "no/such").c_str()), (int)server_folder_failed);

    write_text("file", "x");
    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0666), 0);
    const struct {
        const char *name;
        int present, kind;
    } names[] = {{"file", 1, 1}, {"missing", 0, 0}, {"dangling", 1, 2}, {"pipe", 1, 2}, {SERVER_PLATFORM_TAG, 1, 2}};
    for (const auto &n : names) {
        EXPECT_EQ(server_file_present(path(n.name).c_str()), n.present) << n.name;
        EXPECT_EQ(server_file_kind(path(n.name).c_str()), n.kind) << n.name;
    }
    ASSERT_EQ(platform_fault_inject("stat", 1, EACCES), 0);
    EXPECT_EQ(server_file_kind(path("file").c_str()), -1) << "cannot be told";
}

TEST_F(server_claims, of_many_clients_racing_for_an_agent_exactly_one_claims_it)
{
    const int clients = 6, rounds = 150;
    std::string busy = in_folder(SERVER_NAME_BUSY);
    std::atomic<int> arrived{0}, round_started{-1}, claimed{0}, refused{0}, failed{0};
    std::atomic<uint64_t> winner{0};
    std::vector<std::thread> pool;
    for (int c = 0; c < clients; ++c)
        pool.emplace_back([&, c] {
            for (int round = 0; round < rounds; ++round) {
                while (round_started.load() < round)
                    std::this_thread::yield();
                uint64_t stamp = (uint64_t)round << 8 | (uint64_t)c;
                int result = server_claim(busy.c_str(), stamp);
                if (result == 0) {
                    ++claimed;
                    winner = stamp;
                } else if (result == 1) {
                    ++refused;
                } else {
                    ++failed;
                }
                ++arrived;
            }
        });
    int wrong_rounds = 0;
    for (int round = 0; round < rounds; ++round) {
        round_started = round;
        while (arrived.load() < clients * (round + 1))
            std::this_thread::yield();
        uint64_t held = 0;
        if (claimed.load() != round + 1 || server_stamp_read(busy.c_str(), &held) != server_ok ||
            held != winner.load())
            ++wrong_rounds;
        EXPECT_EQ(server_release(busy.c_str()), 0);
    }
    for (std::thread &thread : pool)
        thread.join();
    EXPECT_EQ(wrong_rounds, 0);
    EXPECT_EQ(claimed.load(), rounds);
    EXPECT_EQ(refused.load(), rounds * (clients - 1));
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(server_release(busy.c_str()), -1) << "nothing left to release";
}

TEST_F(server_claims, a_claim_whose_stamp_cannot_be_written_is_withdrawn)
{
    std::string busy = in_folder(SERVER_NAME_BUSY);
    for (const char *call : {"pwrite", "close"}) {
        int fd = lowest_free_fd();
        ASSERT_EQ(platform_fault_inject(call, 1, EIO), 0);
        EXPECT_EQ(server_claim(busy.c_str(), 5), -1) << call;
        platform_fault_clear();
        EXPECT_EQ(server_file_present(busy.c_str()), 0) << call;
        EXPECT_EQ(lowest_free_fd(), fd) << call;
    }
    EXPECT_EQ(server_claim(busy.c_str(), 5), 0);
    EXPECT_EQ(server_claim((folder + "no/busy").c_str(), 5), -1);
}

TEST_F(server_stamps, a_stamp_is_read_only_from_a_regular_file_that_holds_one)
{
    std::string tsc = in_folder(SERVER_NAME_TSC);
    uint64_t stamp = server_new_stamp();
    EXPECT_NE(server_new_stamp(), stamp);
    ASSERT_EQ(server_stamp_create(tsc.c_str(), stamp), server_ok);
    EXPECT_EQ(server_stamp_create(tsc.c_str(), stamp + 1), server_failed) << "created exclusively";
    uint64_t read = 0;
    EXPECT_EQ(server_stamp_read(tsc.c_str(), &read), server_ok);
    EXPECT_EQ(read, stamp);
    EXPECT_EQ(bytes_of(tsc).size(), 8u);

    EXPECT_EQ(server_stamp_read(in_folder("missing").c_str(), &read), server_missing);
    write_text("short", "1234567");
    EXPECT_EQ(server_stamp_read(path("short").c_str(), &read), server_short);
    ASSERT_EQ(symlink(tsc.c_str(), path("link").c_str()), 0);
    EXPECT_EQ(server_stamp_read(path("link").c_str(), &read), server_short) << "a link is no stamp, and stays none";
    EXPECT_EQ(server_stamp_read(folder.c_str(), &read), server_short);
    ASSERT_EQ(platform_fault_inject("open", 1, EIO), 0);
    EXPECT_EQ(server_stamp_read(tsc.c_str(), &read), server_failed) << "worth trying again";
    ASSERT_EQ(platform_fault_inject("pread", 1, EIO), 0);
    EXPECT_EQ(server_stamp_read(tsc.c_str(), &read), server_failed) << "a failed read is no short stamp";
}

TEST_F(server_stamps, creation_failures_tell_a_taken_name_from_a_lost_write)
{
    std::string tsc = in_folder(SERVER_NAME_TSC);
    ASSERT_EQ(platform_fault_inject("open", 1, EACCES), 0);
    EXPECT_EQ(server_stamp_create(tsc.c_str(), 1), server_failed);
    EXPECT_EQ(server_file_present(tsc.c_str()), 0);
    for (const char *call : {"pwrite", "close"}) {
        ASSERT_EQ(platform_fault_inject(call, 1, EIO), 0);
        EXPECT_EQ(server_stamp_create(tsc.c_str(), 1), server_short) << call;
        platform_fault_clear();
        EXPECT_EQ(server_file_present(tsc.c_str()), 1) << "closed, not removed";
        ASSERT_EQ(unlink(tsc.c_str()), 0);
    }
}

TEST_F(server_stamps, the_heartbeat_never_recreates_nor_overwrites_a_stamp)
{
    std::string tsc = in_folder(SERVER_NAME_TSC);
    ASSERT_EQ(server_stamp_create(tsc.c_str(), 77), server_ok);
    age(tsc, -10);
    ASSERT_EQ(server_stamp_refresh(tsc.c_str(), 77), server_ok);
    platform_file_info before, after;
    ASSERT_EQ(platform_path_info(tsc.c_str(), &after), 0);
    EXPECT_EQ(after.size, 8);
    uint64_t read = 0;
    EXPECT_EQ(server_stamp_read(tsc.c_str(), &read), server_ok);
    EXPECT_EQ(read, 77u) << "the same bytes";

    // Another agent's stamp: left as it is, time included.
    ASSERT_EQ(unlink(tsc.c_str()), 0);
    ASSERT_EQ(server_stamp_create(tsc.c_str(), 78), server_ok);
    age(tsc, -10);
    ASSERT_EQ(platform_path_info(tsc.c_str(), &before), 0);
    EXPECT_EQ(server_stamp_refresh(tsc.c_str(), 77), server_short);
    ASSERT_EQ(platform_path_info(tsc.c_str(), &after), 0);
    EXPECT_EQ(after.modified_ns, before.modified_ns);
    EXPECT_EQ(server_stamp_read(tsc.c_str(), &read), server_ok);
    EXPECT_EQ(read, 78u);

    ASSERT_EQ(unlink(tsc.c_str()), 0);
    EXPECT_EQ(server_stamp_refresh(tsc.c_str(), 78), server_missing);
    EXPECT_EQ(server_file_present(tsc.c_str()), 0) << "a deleted stamp stays deleted";

    ASSERT_EQ(server_stamp_create(tsc.c_str(), 79), server_ok);
    ASSERT_EQ(platform_fault_inject("pwrite", 1, EIO), 0);
    EXPECT_EQ(server_stamp_refresh(tsc.c_str(), 79), server_failed);
    ASSERT_EQ(platform_fault_inject("close", 1, EIO), 0);
    EXPECT_EQ(server_stamp_refresh(tsc.c_str(), 79), server_failed) << "a write lost at the close";
}

TEST_F(agent_liveness, a_refreshed_stamp_is_alive_an_old_or_missing_one_dead)
{
    std::string tsc = in_folder(SERVER_NAME_TSC);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 0) << "no stamp";
    ASSERT_EQ(server_stamp_create(tsc.c_str(), 5), server_ok);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 1);
    age(tsc, -10);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 0);
    ASSERT_EQ(server_stamp_refresh(tsc.c_str(), 5), server_ok);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 1) << "the heartbeat revives it";
    age(tsc, -(server_alive_bound_ms / 1000 - 2));
    EXPECT_EQ(agent_is_alive(folder.c_str()), 1) << "within the bound";
    age(tsc, 10);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 1) << "a stamp ahead of the reference is alive";
    EXPECT_EQ(server_file_present(in_folder(SERVER_NAME_DD).c_str()), 0) << "the scratch file is gone again";

    ASSERT_EQ(unlink(tsc.c_str()), 0);
    ASSERT_EQ(symlink(path("elsewhere").c_str(), tsc.c_str()), 0);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 0) << "a link is no agent's stamp";
    EXPECT_EQ(agent_is_alive((folder + "no/").c_str()), -1) << "no reference time in a missing folder";
}

TEST_F(agent_liveness, the_reference_file_never_follows_a_link)
{
    write_text("outside", "keep");
    ASSERT_EQ(symlink(path("outside").c_str(), in_folder(SERVER_NAME_DD).c_str()), 0);
    ASSERT_EQ(server_stamp_create(in_folder(SERVER_NAME_TSC).c_str(), 5), server_ok);
    EXPECT_EQ(agent_is_alive(folder.c_str()), 1);
    EXPECT_EQ(read_text("outside"), "keep");
    ASSERT_EQ(platform_fault_inject("open", 1, EACCES), 0);
    EXPECT_EQ(agent_is_alive(folder.c_str()), -1);
}

TEST_F(server_exchange, posting_clears_old_outcomes_and_publishing_never_replaces_one)
{
    write_text("outside", "keep");
    std::string tag = SERVER_PLATFORM_TAG;
    write_text(tag + "/0/done", "");
    write_text(tag + "/0/err", "");
    ASSERT_EQ(symlink(path("outside").c_str(), in_folder(SERVER_NAME_DO).c_str()), 0);
    EXPECT_EQ(server_post(folder.c_str()), 1) << "a do that exists is never replaced";
    EXPECT_EQ(read_text("outside"), "keep") << "nor followed";
    EXPECT_EQ(listing(tag + "/0"), "do done err") << "nor the outcomes removed under it";
    ASSERT_EQ(unlink(in_folder(SERVER_NAME_DO).c_str()), 0);
    ASSERT_EQ(server_post(folder.c_str()), 0);
    EXPECT_EQ(listing(tag + "/0"), "do");
    EXPECT_EQ(server_file_kind(in_folder(SERVER_NAME_DO).c_str()), 1);

    ASSERT_EQ(server_publish(folder.c_str(), 1), 0);
    EXPECT_EQ(listing(tag + "/0"), "done");
    ASSERT_EQ(server_post(folder.c_str()), 0);
    ASSERT_EQ(server_publish(folder.c_str(), 0), 0);
    EXPECT_EQ(listing(tag + "/0"), "err");
    EXPECT_EQ(server_publish(folder.c_str(), 0), -1) << "no request to publish";

    ASSERT_EQ(server_post(folder.c_str()), 0);
    write_text(tag + "/0/done", "");
    EXPECT_EQ(server_publish(folder.c_str(), 1), -1);
    EXPECT_EQ(platform_last_error(), (int)platform_error_exists);
    EXPECT_EQ(listing(tag + "/0"), "do done") << "the outcome there is not replaced";
}

TEST_F(server_exchange, a_failed_step_is_reported_and_changes_nothing_it_should_not)
{
    std::string tag = SERVER_PLATFORM_TAG;
    ASSERT_EQ(server_post(folder.c_str()), 0);
    ASSERT_EQ(platform_fault_inject("renameat2", 1, EIO), 0);
    EXPECT_EQ(server_publish(folder.c_str(), 1), -1);
    EXPECT_EQ(listing(tag + "/0"), "do") << "the request is still there to be published";

    ASSERT_EQ(unlink(in_folder(SERVER_NAME_DO).c_str()), 0);
    write_text(tag + "/0/err", "");
    ASSERT_EQ(platform_fault_inject("unlink", 1, EACCES), 0);
    EXPECT_EQ(server_post(folder.c_str()), -1) << "an old outcome that stays would be read as the new one";
    EXPECT_EQ(listing(tag + "/0"), "err");
    ASSERT_EQ(platform_fault_inject("open", 2, EIO), 0);
    EXPECT_EQ(server_post(folder.c_str()), -1) << "do cannot be created (the first open only looked for it)";
    EXPECT_EQ(listing(tag + "/0"), "") << "err removed, no do created";

    ASSERT_EQ(platform_fault_inject("open", 3, EIO), 0);
    EXPECT_EQ(server_post(folder.c_str()), 0) << "the burst of dd is only a hint";
    EXPECT_EQ(listing(tag + "/0"), "do");

    // A "do" whose create or close failed after the file was made (sshfs
    // after an agent took it at once) is posted: a second post would run
    // the share twice.
    ASSERT_EQ(unlink(in_folder(SERVER_NAME_DO).c_str()), 0);
    ASSERT_EQ(platform_fault_inject("close", 1, EIO), 0);
    EXPECT_EQ(server_post(folder.c_str()), 0) << "do exists: the request is posted";
    EXPECT_EQ(listing(tag + "/0"), "do");
}

// Each wait below is given a time-out far beyond what it should take, so
// that ending early tells the cause apart from running out on a loaded
// machine; only a fault pays the long time-out.
TEST_F(server_exchange, a_wait_ends_on_a_change_and_without_a_watch_sleeps_instead)
{
    const uint32_t long_ms = 20 * server_wait_ms;
    server_watch watch;
    server_watch_open(&watch, folder.c_str(), 1, platform_watch_names);
    ASSERT_TRUE(watch.open);
    std::thread poster([&] {
        platform_sleep_ms(20);
        server_post(folder.c_str());
    });
    uint64_t start = platform_monotonic_ms();
    server_watch_wait(&watch, long_ms, long_ms);
    EXPECT_LT(platform_monotonic_ms() - start, (uint64_t)long_ms) << "woken by the post";
    poster.join();
    server_watch_close(&watch);
    server_watch_close(&watch);

    ASSERT_EQ(platform_fault_inject("inotify_init1", 1, EMFILE), 0);
    server_watch_open(&watch, folder.c_str(), 1, platform_watch_names);
    EXPECT_FALSE(watch.open);
    start = platform_monotonic_ms();
    server_watch_wait(&watch, long_ms, 30);
    uint64_t slept = platform_monotonic_ms() - start;
    EXPECT_GE(slept, 30u);
    EXPECT_LT(slept, (uint64_t)long_ms) << "the fallback sleep, not the time-out";
    start = platform_monotonic_ms();
    server_watch_wait(&watch, 30, long_ms);
    slept = platform_monotonic_ms() - start;
    EXPECT_GE(slept, 30u);
    EXPECT_LT(slept, (uint64_t)long_ms) << "never past the time-out";
    server_watch_close(&watch);
}

} // namespace

// Where an outcome is published by a link and an unlink, "do" and "done"
// exist together for a moment: a client that took "done" as the end and
// posted again would lose its next request to the agent's unlink.
TEST_F(server_exchange, a_request_is_over_only_once_do_has_gone)
{
    std::string tag = SERVER_PLATFORM_TAG;
    EXPECT_EQ(server_outcome(folder.c_str()), server_outcome_lost);
    ASSERT_EQ(server_post(folder.c_str()), 0);
    EXPECT_EQ(server_outcome(folder.c_str()), server_outcome_running);
    ASSERT_EQ(link(in_folder(SERVER_NAME_DO).c_str(), in_folder(SERVER_NAME_DONE).c_str()), 0);
    EXPECT_EQ(server_outcome(folder.c_str()), server_outcome_running) << "halfway through the publishing";
    EXPECT_EQ(server_post(folder.c_str()), 1) << "no post while the old do is there";
    ASSERT_EQ(unlink(in_folder(SERVER_NAME_DO).c_str()), 0);
    EXPECT_EQ(server_outcome(folder.c_str()), server_outcome_done);
    ASSERT_EQ(server_post(folder.c_str()), 0);
    ASSERT_EQ(server_publish(folder.c_str(), 0), 0);
    EXPECT_EQ(server_outcome(folder.c_str()), server_outcome_failed);
}

// Both sides follow one schedule after activity; a gap in it would leave a
// network folder at one look per bounded wait right when work arrives.
// The phase depends on the time between the caller's reading of the clock
// and the schedule's: a reading is kept only when the call took less than
// `room` ms, so that a loaded machine cannot push it into the next phase.
// Returns 0 (no interval) when no call was quick enough.
static uint32_t interval_after(uint64_t ago_ms, uint64_t room_ms)
{
    for (int tries = 0; tries < 1000; ++tries) {
        uint64_t now = platform_monotonic_ms();
        uint32_t every = server_look_interval(now - ago_ms);
        if (platform_monotonic_ms() - now < room_ms)
            return every;
    }
    return 0;
}

TEST(server_look, looks_often_right_after_activity_and_once_per_wait_when_idle)
{
    EXPECT_EQ(server_look_interval(0), (uint32_t)server_wait_ms) << "never active: idle";
    EXPECT_EQ(interval_after(0, 100), 1u);
    EXPECT_EQ(interval_after(500, 500), 10u);
    EXPECT_EQ(interval_after(5000, 5000), (uint32_t)server_wait_ms);
}
