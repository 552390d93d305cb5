#include "agent/agent.h"

int main(int argc, char** argv) {
    kr::agent::restrict_library_search();
    return kr::agent::agent_main(argc, argv);
}
