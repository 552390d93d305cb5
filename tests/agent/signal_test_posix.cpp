#include <signal.h>

#include <gtest/gtest.h>

#include "agent/service_api.h"

namespace {

volatile sig_atomic_t handled = 0;
void count_signal(int) { handled = handled + 1; }

TEST(SignalHandler, RunsOnceThenTheDefaultActionIsBack) {
    kr::agent::install_signal_handler(SIGUSR1, count_signal);
    raise(SIGUSR1);
    EXPECT_EQ(1, handled);
    struct sigaction now = {};
    sigaction(SIGUSR1, nullptr, &now);
    EXPECT_EQ(SIG_DFL, now.sa_handler);
}

}  // namespace
