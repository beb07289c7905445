// zeqworker: makes this machine a worker agent of a server folder.
//   zeqworker server
// With ZEQ_AGENT_REPORT=<file> in its environment the agent rewrites <file>
// after every request it ran a module for, one line "<slot> <kind> <items>"
// per device slot of its process: the work items each slot has computed,
// which shows whether a module's nested offload reached a device
// (report.cpp).
// Everything is in the zeqworker_agent library, which the tests' fault
// program shares.
#include "agent.h"

int main(int argc, char **argv)
{
    return agent_main(argc, argv);
}
