// Module files and kernel lookup: the search for a slot's module files beside
// the program or beside a calling library, and the lookup of a call site's
// kernel in the modules found.
//
// A site caches one kernel handle per slot, so a lookup runs once per site and
// slot: first among the modules loaded when the slot started (those beside
// the program), then, when that fails, once more after loading the modules
// beside the file that made the call, which may be a library in another
// folder.  Module rows are only ever added, and each is published with a
// release increment of module_count, so a lookup reads rows without a lock.
//
// The kernels a slot has made are kept per slot, by module row and line: a
// site whose library is unloaded and loaded again (an agent does that for
// every request) starts with an empty cache, and without the slot's own
// record each lookup would make one more kernel that nobody releases.  Only
// the slot's service thread looks kernels up for it, so the record needs no
// lock.
#include "offload.h"
#include "diagnostics.h"

#include <string.h>

namespace {

enum {
    module_path_size = 4096,
    kernels_kept = 256, // per slot; past it, a lookup makes its kernel anew
};

struct kept_kernel {
    intptr_t row;
    intptr_t line;
    intptr_t kernel;
    int group_limit;
};
kept_kernel kept_kernels[max_slots][kernels_kept];
int kept_count[max_slots];

const kept_kernel *find_kept(int s, intptr_t row, intptr_t line)
{
    for (int k = 0; k < kept_count[s]; ++k)
        if (kept_kernels[s][k].row == row && kept_kernels[s][k].line == line)
            return &kept_kernels[s][k];
    return nullptr;
}

void keep_kernel(int s, intptr_t row, intptr_t line, intptr_t kernel, int group_limit)
{
    if (!is_kernel_handle(kernel) || kept_count[s] >= kernels_kept)
        return;
    kept_kernels[s][kept_count[s]++] = kept_kernel{row, line, kernel, group_limit};
}

// Whether the slot has a row of that name.  A row is named after its file,
// less the suffix, and names compare without regard to case, so "APP.OCL"
// and "app.ocl" are one module, loaded from whichever the listing gives first.
bool is_known_module(const device_slot *slot, const char *name)
{
    for (intptr_t i = 0; i < slot->module_count; ++i) {
        if (name_equal_nocase(slot->modules[i].name, name) == 0)
            return true;
    }
    return false;
}

// The kernel of site on slot s and its group limit, left as they are when
// the slot has none.
void find_kernel(int s, device_slot *slot, const qiv_coload_site *site, intptr_t *kernel, intptr_t *limit)
{
    const char *source = site->source;
    intptr_t rows = __atomic_load_n(&slot->module_count, __ATOMIC_ACQUIRE);
    for (intptr_t i = 0; i < rows; ++i) {
        if (name_equal_nocase(slot->modules[i].name, source) != 0)
            continue;
        // A line that is not a non-negative number names no kernel.
        char name[QIV_KERNEL_NAME_SIZE];
        if (qiv_kernel_name(name, sizeof name, site->line) < 0) {
            zeq_log(zeq_log_decisions, "slot %d: line %d of %s names no kernel", s, (int)site->line, source);
            return;
        }
        if (const kept_kernel *kept = find_kept(s, i, site->line)) {
            *kernel = kept->kernel;
            *limit = kept->group_limit;
            return;
        }
        slot->ops->get_kernel(s, kernel, slot->modules[i].handle, name);
        *limit = slot->ops->kernel_group_limit(s, *kernel);
        keep_kernel(s, i, site->line, *kernel, *limit);
        if (!is_kernel_handle(*kernel))
            zeq_log(zeq_log_decisions, "slot %d: no kernel %s in %s%s (the call at line %d of %s runs elsewhere)", s,
                    name, slot->modules[i].name, slot->ops->module_pattern + 1, (int)site->line, source);
        return;
    }
    zeq_log(zeq_log_decisions, "slot %d: no %s%s module was loaded for the call at line %d of %s", s, source,
            slot->ops->module_pattern ? slot->ops->module_pattern + 1 : "", (int)site->line, source);
}

// Only the slot's service thread looks up its kernels, but callers offering
// a request to the slot read the handle (device_accepts): it is stored last,
// in one piece.
void attempt_lookup(int s, device_slot *slot, qiv_coload_site *site)
{
    intptr_t kernel = kernel_missing, limit = 1;
    find_kernel(s, slot, site, &kernel, &limit);
    site->group_limit[s] = limit;
    __atomic_store_n(&site->kernel[s], kernel, __ATOMIC_RELEASE);
}

} // namespace

// Keeps the part after the last separator and cuts it at the first dot; the
// name stays trimmed, so a second pass changes nothing.  Several slots may
// trim one site at once: the lock keyed by the field makes them take turns.
void trim_site_source(qiv_coload_site *site)
{
    qiv_exported_sync(&site->source);
    char *name = site->source;
    size_t length = strlen(name);
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '/' || name[i] == '\\')
            __atomic_store_n(&site->source, name + i + 1, __ATOMIC_RELAXED);
        else if (name[i] == '.')
            name[i] = 0;
    }
    qiv_exported_unsync(&site->source);
}

void load_device_modules(int s, const void *address)
{
    device_slot *slot = &offload.device_table[s];
    const char *pattern = slot->ops->module_pattern;
    if (!pattern)
        return;
    char path[module_path_size];
    int n = address ? platform_module_path_of_address(address, path, sizeof path)
                    : platform_executable_path(path, sizeof path);
    if (n <= 0)
        return;
    const char *last_separator = strrchr(path, '/');
    size_t folder_length = last_separator ? (size_t)(last_separator - path) + 1 : 0;
    path[folder_length] = 0;
    const char *suffix = pattern[0] == '*' ? pattern + 1 : pattern;
    size_t suffix_length = strlen(suffix);

    platform_dir dir;
    if (platform_dir_open(&dir, folder_length ? path : ".", suffix) != 0)
        return;
    while (slot->module_count < max_modules) {
        const char *file = platform_dir_next(&dir);
        if (!file)
            break;
        size_t file_length = strlen(file);
        if (folder_length + file_length + 1 > sizeof path)
            continue; // cannot be named: skip it, as a file that is not there
        char name[module_path_size];
        size_t name_length = file_length - suffix_length;
        memcpy(name, file, name_length);
        name[name_length] = 0;
        if (is_known_module(slot, name))
            continue;
        memcpy(path + folder_length, file, file_length + 1);
        module_entry *row = &slot->modules[slot->module_count];
        slot->ops->load_module(s, &row->handle, path);
        if (!row->handle)
            zeq_log(zeq_log_decisions, "slot %d: %s did not load; its kernels run elsewhere", s, path);
        path[folder_length] = 0;
        row->name = static_cast<char *>(platform_alloc_zeroed(name_length + 1));
        if (!row->name) {
            // Out of memory: this module and the rest stay unloaded.
            slot->ops->unload_module(s, row->handle);
            row->handle = 0;
            break;
        }
        memcpy(row->name, name, name_length + 1);
        __atomic_add_fetch(&slot->module_count, 1, __ATOMIC_RELEASE);
    }
    platform_dir_close(&dir);
}

void look_kernel_up(int s, device_slot *slot, coload_request *request)
{
    qiv_coload_site *site = request->site;
    // Another slot may be trimming the name: the pointer is read in one piece.
    if (!__atomic_load_n(&site->source, __ATOMIC_RELAXED)) {
        __atomic_store_n(&site->kernel[s], kernel_missing, __ATOMIC_RELEASE);
        return;
    }
    trim_site_source(site);
    attempt_lookup(s, slot, site);
    if (site->kernel[s] == kernel_missing) {
        load_device_modules(s, request->caller);
        attempt_lookup(s, slot, site);
    }
}

// Module files are told apart by name without regard to ASCII case: the
// same kernel file must not load twice as "Saxpy.ocl" and "saxpy.ocl".
namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

} // namespace

int name_equal_nocase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return -1;
        if (*a == 0)
            return 0;
    }
}
