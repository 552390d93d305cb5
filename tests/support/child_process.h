#pragma once
// A program started by a test (Linux only: child_process_posix.cpp), with
// standard input from /dev/null and its error output (and, if asked, its
// standard output) in a file. Killed at the end if still running.
#include <string>
#include <vector>

namespace kr::test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is looked up in PATH when it has no slash. An empty directory
    // keeps the test's working directory.
    void start(const std::vector<std::string>& argv, const std::string& error_file, bool output_too = false,
               const std::string& directory = "");
    void signal(int number) const;
    // The exit status, 1000 + the signal for a killed process, or -1 when it
    // did not end in time.
    int wait_exit(int timeout_ms);
    // True while the process runs (it has not been waited for and not ended).
    bool alive() const;
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Everything the file holds ("" when it does not exist).
std::string read_file(const std::string& path);

}  // namespace kr::test
