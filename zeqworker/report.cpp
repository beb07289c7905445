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
// server folder.  It replaces the file whole (platform_file_write_replace),
// so a reader sees the previous report or the new one, never half of one.
// A report that cannot be written costs a message and nothing else: the
// request's outcome does not depend on it.  Without the variable nothing is
// written.
#include "agent.h"

#include <zeq_runtime.h>

#include <stdio.h>

namespace {

// The report's path; empty: no report.
char report_path[agent_path_room];

// Room for a line per slot, with the longest kind name and item count.
enum { line_room = 64, report_room = QIV_COLOAD_SLOTS * line_room };

// The report's text, or -1 when it does not fit.
int format_report(char *text, size_t room)
{
    int slots = qiv_exported_slot_count();
    size_t used = 0;
    for (int s = 0; s < slots; ++s) {
        const char *kind = qiv_exported_slot_kind(s);
        int length = snprintf(text + used, room - used, "%d %s %lld\n", s, kind ? kind : "?", qiv_exported_slot_items(s));
        if (length < 0 || (size_t)length >= room - used)
            return -1;
        used += (size_t)length;
    }
    return (int)used;
}

} // namespace

void agent_report_start(void)
{
    report_path[0] = 0;
    int length = platform_environment_read("ZEQ_AGENT_REPORT", report_path, sizeof report_path);
    if (length == platform_environment_too_long)
        agent_say("Report path too long: no report\n");
    if (length <= 0)
        report_path[0] = 0;
}

void agent_report_slots(void)
{
    if (!report_path[0])
        return;
    char text[report_room];
    int length = format_report(text, sizeof text);
    if (length < 0 || platform_file_write_replace(report_path, text, (size_t)length) != 0)
        agent_say("Failed to write %s\n", report_path);
}
