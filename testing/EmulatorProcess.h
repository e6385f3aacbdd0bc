// Runs testModule as a child process and captures what it writes. Its standard output and
// standard error are read on a background thread as they come, so the child never blocks on
// a full pipe, and a test can wait (with a bound) for the lines it expects.
//
// The child is started in the caller's network namespace: a test process calls
// enter_private_network_namespace() first (NetworkNamespace.h), since testModule always binds port
// 10000. Start children from the main thread: the child is killed if the thread that started
// it ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef TESTMODULE_PATH
#error "TESTMODULE_PATH must name the testModule binary"
#endif

class EmulatorProcess {
  public:
    // `args` are the command-line words after the program word; the program word is `binary`.
    explicit EmulatorProcess(std::vector<std::string> args, std::string binary = TESTMODULE_PATH);
    // Kills the child with SIGKILL if it still runs, and reaps it, by its PID.
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Starts the child once. False when the pipes or the process cannot be made; a binary
    // that cannot be executed makes the child exit with status 127.
    bool start();

    // Wait until the text has appeared on the stream; false after the timeout, or as soon as
    // the stream has ended without it.
    bool wait_for_stdout(const std::string& text, double timeout_s);
    bool wait_for_stderr(const std::string& text, double timeout_s);
    // The same, until the text has appeared at least `count` times.
    bool wait_for_stdout_count(const std::string& text, size_t count, double timeout_s);
    // Waits for the log line "Creating server on ..." on standard error.
    bool wait_until_serving(double timeout_s = 10);

    void send_signal(int sig);
    // The exit status (128 + the signal number when a signal ended the child), once the child
    // has ended and its output has been read to the end. After the timeout: kills the child by
    // its PID, reaps it and returns -1.
    int wait_exit(double timeout_s);
    bool running();

    std::string stdout_text();
    std::string stderr_text();
    size_t count_in_stdout(const std::string& text);
    size_t count_in_stderr(const std::string& text);
    // The address from "Creating server on <address>:<port>", or empty before that line.
    std::string server_host();

    pid_t pid() const { return pid_; }

  private:
    bool wait_for(const std::string& text, size_t count, double timeout_s, bool on_stdout);
    void read_output(int out_fd, int err_fd);
    // Reaps the child if it has ended; true once it has been reaped.
    bool reap(bool block);
    void kill_and_reap();
    void join_reader(double timeout_s);

    std::vector<std::string> args_;
    std::string binary_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool out_closed_ = false;
    bool err_closed_ = false;
    std::atomic<bool> stop_reading_{false};
    std::thread reader_;
};
