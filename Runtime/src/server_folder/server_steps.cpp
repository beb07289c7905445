// The single-name steps of the exchange: folders, existence tests, the claim
// of "busy", posting "do" and publishing its outcome.
//
// Each step is one of the few operations the tree arbitrates with (folder
// creation, exclusive creation, a rename that never replaces) or a file with
// one writer.  The client creates its files ("do", "dd") exclusively after
// removing whatever has the name: a plain create would follow a link that
// someone left there and truncate the file it points to.  Existence is
// tested by opening the name and closing it again, as the protocol has it:
// on a network file system an open revalidates what the client cached about
// the name, where a lookup of the name alone may be answered from the cache.
#include "server_folder.h"

namespace {

// Removes name from folder; true also when the name was already gone.
bool remove_name(const char *path)
{
    return platform_file_delete(path) == 0 || platform_last_error() == platform_error_not_found;
}

// Whatever had the name is removed first; a failure is left unsaid, as only
// the "dd" bursts use it.
void create_empty(const char *path, uint32_t flags)
{
    if (!remove_name(path))
        return;
    intptr_t file = platform_file_create(path, platform_create_exclusive | flags);
    if (file >= 0)
        platform_file_close_checked(file);
}

} // namespace

int server_make_folder(const char *path)
{
    if (platform_folder_create(path) == 0)
        return server_folder_made;
    return platform_last_error() == platform_error_exists ? server_folder_taken : server_folder_failed;
}

int server_file_present(const char *path)
{
    intptr_t file = platform_file_open_existing(path, 0);
    if (file >= 0) {
        platform_file_close(file);
        return server_present;
    }
    if (platform_last_error() == platform_error_not_found)
        return server_absent;
    // A link, or a name the open is refused for: ask about the name itself.
    platform_file_info info;
    if (platform_path_info(path, &info) == 0)
        return server_present;
    return platform_last_error() == platform_error_not_found ? server_absent : server_presence_unknown;
}

int server_file_kind(const char *path)
{
    platform_file_info info;
    if (platform_path_info(path, &info) == 0)
        return info.kind == platform_kind_regular ? server_kind_regular : server_kind_other;
    return platform_last_error() == platform_error_not_found ? server_kind_none : server_kind_unknown;
}

int server_claim(const char *busy_path, uint64_t stamp)
{
    intptr_t file = platform_file_create(busy_path, platform_create_exclusive);
    if (file < 0)
        return platform_last_error() == platform_error_exists ? server_claim_held : server_claim_failed;
    int written = platform_file_write_all(file, &stamp, sizeof stamp, 0);
    if (platform_file_close_checked(file) == 0 && written == 0)
        return server_claimed;
    // A "busy" without its stamp would hold the agent for nobody.
    platform_file_delete(busy_path);
    return server_claim_failed;
}

int server_release(const char *busy_path)
{
    intptr_t file = platform_file_open_delete_on_close(busy_path);
    if (file < 0)
        return server_step_failed;
    platform_file_close(file);
    return server_step_done;
}

int server_post(const char *agent_folder)
{
    char err[server_path_room], done[server_path_room], post[server_path_room], dd[server_path_room];
    if (server_file_path(err, sizeof err, agent_folder, SERVER_NAME_ERR) < 0 ||
        server_file_path(done, sizeof done, agent_folder, SERVER_NAME_DONE) < 0 ||
        server_file_path(post, sizeof post, agent_folder, SERVER_NAME_DO) < 0 ||
        server_file_path(dd, sizeof dd, agent_folder, SERVER_NAME_DD) < 0)
        return server_post_failed;
    // An earlier request whose "do" is still there is not over: its outcome
    // must not be removed under it.
    int pending = server_file_present(post);
    if (pending != server_absent)
        return pending == server_present ? server_post_pending : server_post_failed;
    // A leftover outcome that cannot be removed would be read as this
    // request's.
    if (!remove_name(err) || !remove_name(done))
        return server_post_failed;
    // "do" is never removed here: one that still exists is the previous
    // request's, whose outcome is being published by a link and an unlink
    // (on file systems without an atomic rename that refuses to replace), and
    // that unlink would take this request's "do" with it.
    intptr_t marker = platform_file_create(post, platform_create_exclusive | platform_create_write_through);
    bool created = marker >= 0 && platform_file_close_checked(marker) == 0;
    // On a network folder the create can fail after the server made the
    // file: sshfs looks the new name up once more, and an agent that saw
    // "do" at once may have renamed it by then.  "err" and "done" were
    // removed above and only the agent makes them from "do", so any of the
    // three names means that this request was posted; calling it failed
    // would hand the same share to a second agent.
    if (!created) {
        int outcome = server_outcome(agent_folder);
        if (outcome == server_outcome_lost || outcome == server_outcome_unknown)
            return server_post_failed;
    }
    // Only a burst of changes for watchers that coalesce notifications:
    // failures change nothing about the request.
    for (int i = 0; i < server_dd_bursts; ++i) {
        create_empty(dd, 0);
        platform_file_delete(dd);
    }
    return server_posted;
}

int server_publish(const char *agent_folder, int success)
{
    char from[server_path_room], to[server_path_room];
    if (server_file_path(from, sizeof from, agent_folder, SERVER_NAME_DO) < 0 ||
        server_file_path(to, sizeof to, agent_folder, success ? SERVER_NAME_DONE : SERVER_NAME_ERR) < 0)
        return server_step_failed;
    return platform_file_rename_noreplace(from, to) == 0 ? server_step_done : server_step_failed;
}

int server_outcome(const char *agent_folder)
{
    char path[server_path_room];
    // "do" first: while an outcome is published by link and unlink, "do" and
    // "done" (or "err") exist together, and the request is not over until
    // "do" has gone.
    const char *names[] = {SERVER_NAME_DO, SERVER_NAME_DONE, SERVER_NAME_ERR};
    const int outcomes[] = {server_outcome_running, server_outcome_done, server_outcome_failed};
    for (int i = 0; i < 3; ++i) {
        if (server_file_path(path, sizeof path, agent_folder, names[i]) < 0)
            return server_outcome_unknown;
        int present = server_file_present(path);
        if (present == server_presence_unknown)
            return server_outcome_unknown;
        if (present == server_present)
            return outcomes[i];
    }
    return server_outcome_lost;
}
