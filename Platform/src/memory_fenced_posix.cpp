// Fenced blocks: anonymous mappings whose last page is made inaccessible.
//
// The block is placed at the end of its mapping, right before the fence,
// with the start rounded down to 64 bytes so that vector loads of a block of
// floats stay aligned; so at most 63 bytes past the end go unnoticed.  A
// mapping per block costs a system call or two, which is nothing beside what
// a block of this kind is for (one remote request's data).
#include "platform.h"

#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

enum { fence_alignment = 64 };

struct fenced_layout {
    size_t span;  // the block's size rounded up to the alignment
    size_t data;  // the pages before the fence
    size_t page;
};

bool layout_of(size_t size, fenced_layout *l)
{
    long page = sysconf(_SC_PAGESIZE);
    l->page = page > 0 ? (size_t)page : 4096;
    if (size > SIZE_MAX - 2 * l->page - fence_alignment)
        return false;
    l->span = (size + fence_alignment - 1) / fence_alignment * fence_alignment;
    l->data = (l->span + l->page - 1) / l->page * l->page;
    if (l->data == 0)
        l->data = l->page;
    return true;
}

} // namespace

extern "C" void *platform_alloc_fenced(size_t size)
{
    fenced_layout l;
    if (!layout_of(size, &l))
        return nullptr;
    void *base = mmap(nullptr, l.data + l.page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
    char *fence = static_cast<char *>(base) + l.data;
    if (mprotect(fence, l.page, PROT_NONE) != 0) {
        munmap(base, l.data + l.page);
        return nullptr;
    }
    return fence - l.span;
}

extern "C" void platform_free_fenced(void *block, size_t size)
{
    fenced_layout l;
    if (!block || !layout_of(size, &l))
        return;
    char *base = static_cast<char *>(block) + l.span - l.data;
    munmap(base, l.data + l.page);
}
