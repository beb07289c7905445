// Diagnostics on request: with ZEQ_LOG=1 in its environment, the runtime and
// zeqworker print one line per routing decision and per failure to standard
// error: a call a slot declines and why, a module or kernel not found, a
// share sent to an agent, a share failed, an agent read as dead, a server
// folder without a live agent, a request served.  Unset, empty or 0,
// nothing is printed: a library that other people's programs load must not
// write to their error output unasked.
//
// The level is read once per process, on the first question.  A line goes
// out in one write, so lines of several threads never mix; each starts with
// the program's word ("zeq", "zeqworker") and its process id.
#ifndef ZEQ_DIAGNOSTICS_H
#define ZEQ_DIAGNOSTICS_H

enum {
    zeq_log_off = 0,
    zeq_log_decisions = 1, // routing decisions and failures
};

// The level ZEQ_LOG asks for: 0 when unset, empty or "0", else
// zeq_log_decisions (a number above it reads as it, leaving room for more).
int zeq_log_level(void);
// Prints one line when the level is at least `level`.  The format carries no
// trailing newline.
void zeq_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The word a process's lines start with: "zeq" unless the program names
// itself (zeqworker does, before its first line).
void zeq_log_name(const char *name);

#endif
