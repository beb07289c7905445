// Dynamic loading and "which file holds this code" on the ELF dynamic loader.
//
// The runtime finds kernel files beside the program and beside the library that
// made a coload call, so it needs the file of the executable and the file that
// contains a given code address.  dladdr alone names the main program by the
// string it was started with (often relative), so the link map entry is used to
// tell the main program apart, and /proc/self/exe gives its real path.
// Loading goes through syscalls_posix.cpp so that tests can make it fail.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <string.h>
#include <unistd.h>

extern "C" void *platform_library_open(const char *name)
{
    errno = 0;
    void *library = sys_dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        fail_with(errno ? errno : ENOEXEC);
    return library;
}

extern "C" void *platform_library_symbol(void *library, const char *name)
{
    return library ? dlsym(library, name) : nullptr;
}

extern "C" int platform_library_close(void *library)
{
    if (library && sys_dlclose(library) != 0)
        return fail_with(EINVAL);
    return 0;
}

extern "C" int platform_executable_path(char *buffer, size_t size)
{
    if (size < 2)
        return -1;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n <= 0 || (size_t)n >= size - 1)
        return -1; // a result that fills the buffer may have been cut short
    buffer[n] = 0;
    return (int)n;
}

extern "C" int platform_module_path_of_address(const void *address, char *buffer, size_t size)
{
    Dl_info info;
    struct link_map *map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) || !map)
        return -1;
    // The main program's link map entry has an empty name.
    if (!map->l_name || map->l_name[0] == 0)
        return platform_executable_path(buffer, size);
    size_t n = strlen(map->l_name);
    if (n + 1 > size)
        return -1;
    memcpy(buffer, map->l_name, n + 1);
    return (int)n;
}
