// The slot report: where the work of the agent's requests went.
//
// A module may offer its share to the agent process's own device slots
// through a coload call of its own, and whether a device took it is
// otherwise invisible from outside: the response carries only results.  So
// when ZEQ_AGENT_REPORT names a file at start-up, the agent rewrites that
// file after every request whose module it called, before the outcome is
// published, so that whoever sees "done" or "err" reads counts that include
// that request.  One line per slot of this process:
//
//     <slot> <kind> <items>
//
// kind and items as the runtime reports them (qiv_exported_slot_kind and
// qiv_exported_slot_items): the work items the slot computed since the agent
// started.  Slot 0 is the remote slot; a process without devices has that
// one line only.
//
// The report is no part of the server-folder protocol and never lies in the
// server folder, so it goes through stdio rather than the protocol module.
// It is written to "<file>.new" and renamed over the file, so a reader sees
// the previous report or the new one, never half of one.  A report that
// cannot be written costs a message and nothing else: the request's outcome
// does not depend on it.  Without the variable nothing is written.
#include "agent.h"

#include <Zeq.h>

#include <stdio.h>
#include <string.h>

namespace {

// The report's path and its temporary neighbour; empty: no report.
char report_path[agent_path_room];
char report_new_path[agent_path_room + 4];

bool write_report(const char *path)
{
    FILE *out = fopen(path, "w");
    if (!out)
        return false;
    int slots = qiv_exported_slot_count();
    bool ok = true;
    for (int s = 0; s < slots && ok; ++s) {
        const char *kind = qiv_exported_slot_kind(s);
        ok = fprintf(out, "%d %s %lld\n", s, kind ? kind : "?", qiv_exported_slot_items(s)) > 0;
    }
    return fclose(out) == 0 && ok;
}

} // namespace

void agent_report_start(void)
{
    report_path[0] = 0;
    int length = platform_environment_read("ZEQ_AGENT_REPORT", report_path, sizeof report_path);
    if (length == platform_environment_too_long)
        agent_say("Report path too long: no report\n");
    if (length <= 0) {
        report_path[0] = 0;
        return;
    }
    snprintf(report_new_path, sizeof report_new_path, "%s.new", report_path);
}

void agent_report_slots(void)
{
    if (!report_path[0])
        return;
    if (!write_report(report_new_path) || rename(report_new_path, report_path) != 0)
        agent_say("Failed to write %s\n", report_path);
}
