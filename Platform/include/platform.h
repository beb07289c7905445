// The operating-system surface that the Zeq runtime and its programs may use.
//
// Core code never includes an OS header: everything it needs from the system is
// declared here and implemented once per concern in src/.  The waiting
// primitives (semaphore, auto-reset event) are our own, built on futexes, so
// that their objects live in static storage or inside records without any
// handle to create or close, and so that waking a sleeper costs one system call.
// The module, file, folder and watch calls reach the system through one table
// that tests can tell to fail a chosen call (see the end of this file).
#ifndef ZEQ_PLATFORM_H
#define ZEQ_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- threads ---------------------------------------------------------------

typedef void (*platform_thread_routine)(void *arg);

// An opaque thread handle wide enough for pthread_t on both flavours.
typedef struct platform_thread {
    uintptr_t handle;
} platform_thread;

// Starts a joinable thread running routine(arg) with the default stack size.
// Returns 0, or -1 when the system refuses (the routine never runs then).
int platform_thread_start(platform_thread *thread, platform_thread_routine routine, void *arg);
// Waits for the thread to end; afterwards none of its instructions run any more.
int platform_thread_join(platform_thread thread);
// As above, giving up after timeout_ms: 0 when joined, -1 when it still runs.
int platform_thread_timed_join(platform_thread thread, uint32_t timeout_ms);
// Lets the thread run on without anyone joining it.
void platform_thread_detach(platform_thread thread);
// Gives the rest of the time slice to another ready thread.
void platform_thread_yield(void);
// Sleeps for at least ms milliseconds.
void platform_sleep_ms(uint32_t ms);
// Processors available to this process (its affinity mask), at least 1.
int platform_processor_count(void);
// Highest address of the calling thread's stack.  Cached per thread: the main
// thread's first lookup has to read the process's memory map.
uintptr_t platform_stack_base(void);
// A number that identifies the calling thread among the live ones (for tests and messages).
uintptr_t platform_thread_id(void);

// ---- thread-local slot -----------------------------------------------------

typedef struct platform_tls {
    uint32_t key;
} platform_tls;

// Allocates a slot whose destructor runs at thread exit for threads that left a
// non-null value in it (the value is passed, the slot already reads null).
int platform_tls_alloc(platform_tls *slot, void (*destructor)(void *value));
void *platform_tls_get(platform_tls slot);
int platform_tls_set(platform_tls slot, void *value);
// After this no destructor of the slot runs any more.
void platform_tls_free(platform_tls slot);

// ---- counting semaphore ----------------------------------------------------

// How often a waiter polls before it sleeps, where polling pays: the thread
// that will release it is usually running and answers within microseconds,
// far sooner than a futex wake-up takes.  The semaphore's default, and the
// coload caller's wait for its device slots.
enum { platform_spin_polls = 4000 };

// Contract: count never exceeds maximum; a release that would exceed it fails and
// changes nothing.  Each successful wait takes one count.  A zero-filled record
// is a valid semaphore with maximum 0: call platform_semaphore_init first.
typedef struct platform_semaphore {
    volatile int32_t count;
    volatile int32_t sleepers;
    int32_t maximum;
    int32_t spin;       // polls before sleeping, 0 for none
} platform_semaphore;

void platform_semaphore_init(platform_semaphore *sem, int32_t initial, int32_t maximum);
// Adds n counts and wakes up to n sleepers.  Returns 1, or 0 when n < 1 or the
// count would pass the maximum.
int platform_semaphore_release(platform_semaphore *sem, int32_t n);
// Takes one count, sleeping without time limit until there is one.
void platform_semaphore_wait(platform_semaphore *sem);

// ---- auto-reset event ------------------------------------------------------

// Contract: set() leaves the event signalled until one wait consumes it; several
// sets before a wait coalesce into one.  A zero-filled record is a valid,
// non-signalled event; there is nothing to create or close.
typedef struct platform_event {
    volatile int32_t signalled;
    volatile int32_t sleepers;
} platform_event;

// Returns 1 (setting cannot fail).
int platform_event_set(platform_event *event);
// Waits until signalled and consumes the signal.
void platform_event_wait(platform_event *event);
// As above, giving up after timeout_ms; returns 1 if signalled, 0 on time-out.
int platform_event_wait_timeout(platform_event *event, uint32_t timeout_ms);

// ---- recursive critical section --------------------------------------------

// Storage for a recursive mutex, sized for the larger flavour's pthread_mutex_t.
typedef struct platform_critical_section {
    uintptr_t storage[6];
} platform_critical_section;

void platform_critical_section_init(platform_critical_section *cs);
void platform_critical_section_enter(platform_critical_section *cs);
void platform_critical_section_leave(platform_critical_section *cs);
void platform_critical_section_delete(platform_critical_section *cs);

// ---- time ------------------------------------------------------------------

// The processor's time-stamp counter.
uint64_t platform_timestamp(void);
// Monotonic clock in milliseconds and nanoseconds.
uint64_t platform_monotonic_ms(void);
uint64_t platform_monotonic_ns(void);

// ---- environment -----------------------------------------------------------

enum {
    platform_environment_unset = -1,
    platform_environment_too_long = -2, // the buffer then holds ""
};
// Copies the value of the environment variable name, NUL-terminated, into
// buffer.  Returns its length (0 for a variable set to ""), or one of the two
// codes above.
int platform_environment_read(const char *name, char *buffer, size_t size);

// ---- the process -----------------------------------------------------------

int platform_process_id(void);
// Writes size bytes to standard error, in one write where the system allows.
void platform_error_write(const char *text, size_t size);

// ---- memory ----------------------------------------------------------------

// Zero-filled allocation and its release; null on failure.
void *platform_alloc_zeroed(size_t size);
void platform_free(void *block);

// A zero-filled block of size bytes for code that is not trusted to stay
// inside it: the block starts on a 64-byte boundary and ends at most 63
// bytes before a page that cannot be read or written, so that running off
// its end faults (a fault that platform_guarded_call can catch) instead of
// overwriting other memory.  Null on failure.  Released with the same size.
void *platform_alloc_fenced(size_t size);
void platform_free_fenced(void *block, size_t size);

// ---- errors of the module, file and folder calls ---------------------------

// Every module, file and folder call below that fails says why through
// platform_last_error: an errno value, kept per thread until that thread's
// next failing call (a call that succeeds leaves it as it was, like errno).
// Callers compare it with these two names; any other value is "some other
// failure", to be reported rather than interpreted.
enum {
    platform_error_not_found = 2, // ENOENT: no such file or folder
    platform_error_exists = 17,   // EEXIST: the name is taken
    platform_error_link = 40,     // ELOOP: a no-follow open met a link (below)
};
int platform_last_error(void);

// ---- modules, files, folders -----------------------------------------------

// Loads a shared library by name or path (the system's search rules apply to a
// bare name); null when it cannot be loaded.  The loader keeps its reasons to
// itself (errno is usually untouched), so the last error is then ENOEXEC
// unless the loader did leave an errno.
void *platform_library_open(const char *name);
// The address of an exported symbol of a loaded library; null when absent.
void *platform_library_symbol(void *library, const char *name);
// Unloads a library that platform_library_open returned (null is ignored).
// The runtime never unloads its driver libraries; this is for callers that
// load a module per piece of work and must let go of it afterwards, such as
// a worker agent serving requests.  Returns 0, or -1 when the loader refused
// (the library may then still be mapped).
int platform_library_close(void *library);
// Writes the path of the running executable, NUL-terminated.  Returns its
// length, or -1 when it cannot be found or does not fit into size bytes.
int platform_executable_path(char *buffer, size_t size);
// Writes the path of the loaded file (executable or shared library) that
// contains address, NUL-terminated.  Returns its length, or -1 when no loaded
// file contains the address or the path does not fit into size bytes.
int platform_module_path_of_address(const void *address, char *buffer, size_t size);

// A directory listing filtered by a file-name suffix compared without regard
// to ASCII case (".ocl" matches "APP.OCL").  Names come back in the order the
// file system gives them; only regular files (or links to them) are listed.
typedef struct platform_dir {
    uintptr_t handle;
    char suffix[16];
} platform_dir;

// Returns 0, or -1 when the folder cannot be opened (nothing to close then).
int platform_dir_open(platform_dir *dir, const char *path, const char *suffix);
// The next matching file name (valid until the next call), or null at the end
// (and when reading fails: the last error then says why).
const char *platform_dir_next(platform_dir *dir);
void platform_dir_close(platform_dir *dir);

// Whole-file reading in three steps, so that callers can tell apart a missing
// file, a failed size query and a failed read.  A file is a small integer
// handle, -1 when opening failed.
intptr_t platform_file_open_read(const char *path);
// Size in bytes, or -1.
int64_t platform_file_size(intptr_t file);
// Reads exactly size bytes from the start; 0, or -1 on failure or short file.
int platform_file_read_all(intptr_t file, void *buffer, size_t size);
void platform_file_close(intptr_t file);

// ---- writing files, and names in shared folders ----------------------------

// What a file protocol between a client and worker agents needs from a shared
// folder that may be on a network file system: names that are taken by one
// side only, renames that never overwrite, and files whose content is whole
// whenever another side can see them.  Handles are those of the reading calls
// above and are closed with platform_file_close or platform_file_close_checked.

enum {
    // Fail with platform_error_exists when the file exists (O_EXCL): the
    // name is taken by whoever creates it first.
    platform_create_exclusive = 1,
    // Each write is on the disk (the server's, on a network file system)
    // when the call that wrote it returns: the file is opened O_SYNC, so the
    // kernel syncs inside every write.
    platform_create_write_through = 2,
};
// Creates a file for writing, mode 0666 less the umask.  Without
// platform_create_exclusive an existing file is truncated to nothing.
// Returns a handle, or -1.
intptr_t platform_file_create(const char *path, uint32_t flags);

// The offset that means "at the file's position, and move it on".
enum { platform_file_at_position = -1 };
// Writes all size bytes at offset (or at the position), continuing after
// short writes.  Returns 0, or -1 when the system refused a part: how much
// was written before then is unknown.
int platform_file_write_all(intptr_t file, const void *buffer, size_t size, int64_t offset);
// What was written to the file is on the disk when this returns 0 (fsync).
int platform_file_sync(intptr_t file);
// Closes the handle and reports what the close reported: on a network file
// system the failure of a write may show only there.  The handle is gone
// either way.
int platform_file_close_checked(intptr_t file);

// 1 when something (file, folder, ...) has that name, 0 when nothing has
// (also when a folder on the way is a file), -1 when it cannot be told.
int platform_file_exists(const char *path);
// Removes the file's name.  Returns 0, or -1: a missing file reports
// platform_error_not_found, which a caller that only wants it gone ignores.
int platform_file_delete(const char *path);
// Makes a folder, mode 0777 less the umask.  Returns 0, or -1: an existing
// name of any kind reports platform_error_exists, "taken".
int platform_folder_create(const char *path);

// Gives the file `from` the name `to` unless something has that name, in one
// atomic step where the file system can (renameat2 with RENAME_NOREPLACE).
// Where it refuses the flag (EINVAL, ENOSYS, EOPNOTSUPP: FUSE file systems
// such as sshfs do, though they support hard links) the name moves by
// link(from, to) and unlink(from): as exclusive, since link never replaces,
// but for a moment both names exist.  Returns 0, or -1 with nothing changed:
// platform_error_exists when `to` is taken, platform_error_not_found when
// `from` is gone (another side took it first; on the fallback path the second
// name is removed again, and only if that fails too do both names remain).
// A file system that refuses hard links too makes it fail with link's error
// (such as EPERM): a rename that could replace the target is never tried.
// Folders move on the atomic path only.
int platform_file_rename_noreplace(const char *from, const char *to);
// Copies the file `from` over `to`, replacing it, so that a reader of `to`
// sees either the old file or the whole copy: the copy is written to a new
// file beside the target, named `to` + ".tmp<process id>.<n>", synced, and
// renamed over `to`.  Returns 0, or -1 with `to` as it was and no temporary
// left behind.  The copy has mode 0666 less the umask, whatever `from` had.
int platform_file_copy_replace(const char *from, const char *to);
// Writes size bytes over `to` in the same way: a reader of `to` sees either
// the old file or all of the bytes.  Returns 0, or -1 with `to` as it was and
// no temporary left behind.
int platform_file_write_replace(const char *to, const void *bytes, size_t size);

// Opens an existing file for reading and removes its name at once: the name
// is free for the next file the moment this returns, while the content stays
// readable through the handle until it is closed and then goes with it.  When
// the name cannot be removed the open fails (and the handle is closed), so a
// handle from here never leaves its file behind.
intptr_t platform_file_open_delete_on_close(const char *path);

// ---- files that another side may have placed -----------------------------

// A shared folder can hold whatever anyone who can write it put there: a link
// to a file elsewhere, a folder, a device, a second name of some other file.
// A program that must touch nothing outside its own folder opens the files it
// serves through these calls, which never follow a link in the last component
// (a link fails with ELOOP) and tell what was opened.

enum {
    platform_open_read_write = 1, // else read only
};
// Opens an existing file without following a final link (a link fails with
// platform_error_link).  A pipe under the name is opened without waiting for
// its other end.  Returns a handle (closed with platform_file_close or
// platform_file_close_checked), or -1.
intptr_t platform_file_open_existing(const char *path, uint32_t flags);

enum {
    platform_kind_regular = 1,
    platform_kind_folder = 2,
    platform_kind_link = 3,
    platform_kind_other = 4, // devices, pipes, sockets
};
typedef struct platform_file_info {
    int64_t size;
    int64_t modified_ns; // last write, nanoseconds since 1970, by the clock of the machine that stores the file
    uint32_t kind;       // platform_kind_*
    uint32_t links;      // names the file has
} platform_file_info;
// What an open file is.  Returns 0, or -1.
int platform_file_info_of(intptr_t file, platform_file_info *info);
// What a name is, the name itself when it is a link.  Returns 0, or -1
// (platform_error_not_found when nothing has the name).
int platform_path_info(const char *path, platform_file_info *info);
// Reads up to size bytes at offset, continuing after short reads until size
// bytes or the end of the file.  Returns the count read, or -1.
int64_t platform_file_read_at(intptr_t file, void *buffer, size_t size, int64_t offset);
// Cuts or extends the file to size bytes.  Returns 0, or -1.
int platform_file_truncate(intptr_t file, int64_t size);
// Sets the file's last-write time, and its last-access time with it, to
// modified_ns (nanoseconds since 1970, not before it).  Returns 0, or -1.
int platform_file_set_modified(intptr_t file, int64_t modified_ns);

// ---- being asked to stop ---------------------------------------------------

// A program that serves others until it is told to stop catches SIGTERM and
// SIGINT here, and looks at platform_stop_asked() between pieces of work:
// it finishes what it has started and then ends.  The first of the two
// signals only sets the flag and puts both back to their default action, so
// that a second one ends the process at once, by that signal.  A signal that
// was ignored when the program started (a background job of a shell ignores
// SIGINT) stays ignored.  Blocking system calls are not cut short; a program
// that waits looks at the flag at least once per wait.  Returns 0, or -1.
int platform_stop_signals_catch(void);
// 1 once a stop signal has arrived, else 0.
int platform_stop_asked(void);

// ---- synchronous signals inside a call -------------------------------------

// Runs routine(arg) on the calling thread so that a SIGSEGV, SIGBUS, SIGFPE or
// SIGILL raised by that thread while it runs ends the call instead of the
// process: the thread jumps back out of the routine, whose frames are
// abandoned (no destructor runs, locks it took stay taken).  The handler runs
// on an alternate stack of the thread, so a stack overflow is caught too.
// Returns 0 when the routine returned, else the signal's number.  The same
// signals raised by any other thread, or outside such a call, and those sent
// by kill or raise, meet the action they met before the first guarded call
// (the default action ends the process by the signal).  A guarded call made
// inside another on the same thread catches the faults of its own routine.
int platform_guarded_call(void (*routine)(void *arg), void *arg);

// ---- waiting for changes in a folder ---------------------------------------

// A bounded wait for changes in a folder and, for a subtree, in its immediate
// subfolders, those made later included.  A notification is a hint, never a
// promise: on a network file system a change made by another machine raises
// none.  So the wait always ends at its time-out, and a caller looks at the
// folder after every wait, whatever it returned; a wake-up may find nothing
// new.  The record holds only the kernel's descriptors and the folder's path.

enum {
    platform_watch_names = 1,    // files or folders created, removed or renamed
    platform_watch_contents = 2, // sizes, write times, attributes: writes and closes after writing
};
// Room for the folder's path in the record, its NUL included.
enum { platform_watch_path_max = 4096 };

typedef struct platform_watch {
    int32_t fd;           // the inotify instance; -1 when closed
    int32_t folder_watch; // the watch on the folder itself
    uint32_t events;      // inotify events asked for, on every folder watched
    uint32_t subtree;     // nonzero: immediate subfolders are watched too
    char folder[platform_watch_path_max];
} platform_watch;

// Starts watching folder for what (platform_watch_names, _contents or both).
// Returns 0, or -1 when the watch cannot be set up: the record is closed
// then, and the caller sleeps for its time-outs instead of waiting.
int platform_watch_open(platform_watch *watch, const char *folder, int subtree, uint32_t what);
// Waits at most timeout_ms: 1 when something changed, 0 when the time ran out
// first, -1 on failure.  Before returning 1 it takes every notification that
// is pending, so a burst of changes wakes the caller once.  A subfolder made
// since the last wait counts as a change, and is watched from then on (if the
// system has no watch left for it, only the caller's own look finds its news).
int platform_watch_wait(platform_watch *watch, uint32_t timeout_ms);
// Ends the watch; a closed record may be closed again.
void platform_watch_close(platform_watch *watch);

// ---- failing system calls on purpose (tests) -------------------------------

// The module, file, folder and watch calls reach the system through one table
// of entries named after the system calls: "open", "close", "read", "pread",
// "write", "pwrite", "fsync", "fstat", "stat", "rename", "renameat2", "link",
// "unlink", "mkdir", "opendir", "readdir", "inotify_init1",
// "inotify_add_watch", "poll", "dlopen", "dlclose", "ftruncate".  A test can make one call of an entry
// fail exactly as the system would: the same return value, errno set to the
// chosen error.  An injected EINTR is retried as a real one is.
//
// Arms entry `call` so that its nth call from now (1-based) fails with error;
// nth 0 only counts.  From the first injection until platform_fault_clear
// every entry counts its calls, and an injection restarts its own entry's
// count.  Concurrent callers are counted atomically, so exactly one call is
// the nth; arm before the calls to be counted start.  Returns 0, or -1 for an
// unknown name, or for nth > 0 with an error that is not a positive errno.
int platform_fault_inject(const char *call, uint32_t nth, int error);
// Disarms every entry and zeroes the counts.
void platform_fault_clear(void);
// Calls of the entry counted so far; 0 for an unknown name or a disarmed table.
uint32_t platform_fault_calls(const char *call);

#ifdef __cplusplus
}
#endif

#endif
