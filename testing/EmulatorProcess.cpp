#include "testing/EmulatorProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

size_t count_of(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

void close_pair(int fds[2]) {
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0) ::close(fds[i]);
        fds[i] = -1;
    }
}

}  // namespace

EmulatorProcess::EmulatorProcess(std::vector<std::string> args, std::string binary)
    : args_(std::move(args)), binary_(std::move(binary)) {}

EmulatorProcess::~EmulatorProcess() {
    kill_and_reap();
    join_reader(2.0);
    stop_reading_ = true;
    if (reader_.joinable()) reader_.join();
}

bool EmulatorProcess::start() {
    if (pid_ > 0) return false;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        close_pair(out);
        close_pair(err);
        return false;
    }
    const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<char*> argv;
    argv.push_back(binary_.data());
    for (std::string& arg : args_) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t child = ::fork();
    if (child < 0) {
        close_pair(out);
        close_pair(err);
        if (null_in >= 0) ::close(null_in);
        return false;
    }
    if (child == 0) {
        // No emulator may outlive a test process that crashed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execv(binary_.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = child;
    ::close(out[1]);
    ::close(err[1]);
    if (null_in >= 0) ::close(null_in);
    reader_ = std::thread(&EmulatorProcess::read_output, this, out[0], err[0]);
    return true;
}

void EmulatorProcess::read_output(int out_fd, int err_fd) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    char buffer[4096];
    int open_count = 2;
    while (open_count > 0) {
        const int ready = ::poll(fds, 2, 50);
        if (ready < 0 && errno != EINTR) break;
        bool any_data = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
                any_data = true;
            } else {
                (i == 0 ? out_closed_ : err_closed_) = true;
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
            changed_.notify_all();
        }
        // Only once the pipes are empty, so that no output the child wrote is lost.
        if (!any_data && stop_reading_) break;
    }
    for (pollfd& entry : fds) {
        if (entry.fd >= 0) ::close(entry.fd);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    out_closed_ = true;
    err_closed_ = true;
    changed_.notify_all();
}

bool EmulatorProcess::wait_for(const std::string& text, size_t count, double timeout_s,
                               bool on_stdout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string& stream = on_stdout ? out_ : err_;
    const bool& closed = on_stdout ? out_closed_ : err_closed_;
    changed_.wait_until(lock, deadline_after(timeout_s),
                        [&] { return count_of(stream, text) >= count || closed; });
    return count_of(stream, text) >= count;
}

bool EmulatorProcess::wait_for_stdout(const std::string& text, double timeout_s) {
    return wait_for(text, 1, timeout_s, true);
}

bool EmulatorProcess::wait_for_stderr(const std::string& text, double timeout_s) {
    return wait_for(text, 1, timeout_s, false);
}

bool EmulatorProcess::wait_for_stdout_count(const std::string& text, size_t count,
                                            double timeout_s) {
    return wait_for(text, count, timeout_s, true);
}

bool EmulatorProcess::wait_until_serving(double timeout_s) {
    return wait_for_stderr("Creating server on", timeout_s);
}

void EmulatorProcess::send_signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

bool EmulatorProcess::reap(bool block) {
    if (pid_ <= 0 || reaped_) return reaped_;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == pid_) {
        reaped_ = true;
        status_ = status;
    } else if (result < 0) {
        // Reaped elsewhere (or never ours): nothing left to wait for.
        reaped_ = true;
        status_ = -1;
    }
    return reaped_;
}

bool EmulatorProcess::running() { return pid_ > 0 && !reap(false); }

void EmulatorProcess::kill_and_reap() {
    // An unreaped child keeps its PID, so the signal cannot reach another process.
    if (pid_ <= 0 || reap(false)) return;
    ::kill(pid_, SIGKILL);
    reap(true);
}

void EmulatorProcess::join_reader(double timeout_s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline_after(timeout_s),
                        [&] { return out_closed_ && err_closed_; });
}

int EmulatorProcess::wait_exit(double timeout_s) {
    if (pid_ <= 0) return -1;
    const auto deadline = deadline_after(timeout_s);
    while (!reap(false) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!reaped_) {
        kill_and_reap();
        return -1;
    }
    join_reader(2.0);
    if (status_ < 0) return -1;
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

std::string EmulatorProcess::stdout_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string EmulatorProcess::stderr_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

size_t EmulatorProcess::count_in_stdout(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_of(out_, text);
}

size_t EmulatorProcess::count_in_stderr(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_of(err_, text);
}

std::string EmulatorProcess::server_host() {
    static const std::string kPrefix = "Creating server on ";
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t at = err_.find(kPrefix);
    if (at == std::string::npos) return std::string();
    const size_t begin = at + kPrefix.size();
    const size_t colon = err_.find(':', begin);
    if (colon == std::string::npos) return std::string();
    return err_.substr(begin, colon - begin);
}
