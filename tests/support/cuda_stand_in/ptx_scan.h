/* ptx_scan.h: the kernels a PTX module declares, as the stand-in driver needs
 * them: each ".entry" name and the byte size of each of its parameters (so
 * that a launch can copy the parameter values, as a real driver does, instead
 * of keeping pointers into memory the caller will reuse). */
#ifndef ZEQ_PTX_SCAN_H
#define ZEQ_PTX_SCAN_H

#include <stddef.h>
#include <vector>

#include "cuda_stand_in.h"

enum {
    ptx_name_max = 64,          /* with its NUL, as stand_in_launch.kernel holds it */
    ptx_param_bytes_max = 4096, /* a kernel's parameters together, as the device's limit */
};

struct ptx_entry {
    char name[ptx_name_max];
    int param_count;
    int param_bytes[stand_in_max_params];
};

/* Fills entries from the module text; returns stand_in_success, or
 * stand_in_invalid_ptx when the text has no .version directive, no .entry, or
 * an entry whose name or parameter list this driver cannot hold. */
int ptx_scan(const char *text, size_t length, std::vector<ptx_entry> *entries);

#endif
