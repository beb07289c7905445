/* env_config.h: the ZEQ_CUDA_STAND_IN text, read into a plain record.  The
 * parser changes nothing itself, so a test can compile it and check what it
 * makes of a text without loading the library a second time. */
#ifndef ZEQ_ENV_CONFIG_H
#define ZEQ_ENV_CONFIG_H

#include <stdio.h>

#include "cuda_stand_in.h"

enum { env_fails_max = 16, env_entry_name_max = 32 };

struct env_fail {
    char entry[env_entry_name_max];
    int nth, result;
};

struct env_config {
    int devices, warp, units, grid, threads; /* -1 where the text does not give them */
    bool attributes_fail[stand_in_max_devices];
    int fail_count;
    env_fail fails[env_fails_max];
};

/* Reads "key=value,key=value,..." into *config.  An item it cannot use (an
 * unknown key, a value out of range) is reported on complaints, one line each,
 * and skipped; returns how many were skipped. */
int parse_env_config(const char *text, env_config *config, FILE *complaints);

#endif
