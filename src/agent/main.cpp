#include "agent/agent.h"

int main(int argc, char** argv) { return kr::agent::agent_main(argc, argv); }
