#pragma once
#include "thread/thread.h"

namespace kr::test {

// Consumes a signal left pending on an auto-reset event (by an earlier run
// in the same test program), so that the next wait on it blocks again.
void drain_event(kr::thread::Event* event);

}  // namespace kr::test
