// The one-line messages of refused requests, for the protocol's own sources.
//
// A refusal is printed by the agent as it stands, so every message ends with
// '\n' even when the caller's buffer cuts it short, and a name taken from a
// request is printed only through printable_name: a hostile request must not
// be able to put control characters on the agent's terminal or log.
#ifndef ZEQ_SERVER_FOLDER_REQUEST_MESSAGE_H
#define ZEQ_SERVER_FOLDER_REQUEST_MESSAGE_H

#include <stddef.h>

// Writes the message and returns request_refused (or whatever `result` is).
__attribute__((format(printf, 4, 5))) int request_refuse(int result, char *message, size_t message_size,
                                                        const char *format, ...);

// Copies the NUL-terminated name into out (size bytes, at least 1), every
// byte outside printable ASCII replaced with '?', cut to fit.
void printable_name(char *out, size_t size, const char *name);

#endif
