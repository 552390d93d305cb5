#include "support/drain_event.h"

namespace kr::test {

void drain_event(kr::thread::Event* event) {
    // Signal first so that the wait below returns whether or not one was pending.
    kr::thread::event_signal(event);
    kr::thread::Mutex m = nullptr;
    kr::thread::mutex_create(&m, nullptr);
    kr::thread::mutex_lock(&m);
    kr::thread::event_wait(event, &m);
    kr::thread::mutex_unlock(&m);
    kr::thread::handle_close(&m);
}

}  // namespace kr::test
