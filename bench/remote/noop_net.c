/* noop_net.so: the remote module of the agent benchmarks.  Its one export
 * does nothing, so that a round trip costs only the protocol and the agent. */
#include <stddef.h>

__attribute__((visibility("default"))) void fline1(size_t *arg) { (void)arg; }
