// zeqworker: makes this machine a worker agent of a server folder.
//   zeqworker server
// Everything is in the zeqworker_agent library, which the tests' fault
// program shares.
#include "agent.h"

int main(int argc, char **argv)
{
    return agent_main(argc, argv);
}
