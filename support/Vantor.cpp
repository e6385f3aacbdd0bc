#include "support/Vantor.h"

#include <unistd.h>

#include <cerrno>

namespace Vantor {

namespace {

void write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

std::string level_name(int level) {
    switch (level) {
        case Log::Error:
            return "ERROR";
        case Log::Info:
            return "INFO";
        default:
            return "LEVEL " + std::to_string(level);
    }
}

void loglevel::operator()(ostream& stream) const { stream.set_level(level_); }

ostream::~ostream() {
    if (!pending_.str().empty()) emit();
}

ostream& ostream::operator<<(const loglevel& level) {
    level(*this);
    return *this;
}

ostream& ostream::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    if (manipulator == static_cast<std::ostream& (*)(std::ostream&)>(std::endl)) {
        emit();
    } else {
        manipulator(pending_);
    }
    return *this;
}

void ostream::emit() {
    std::string line;
    line.append("[").append(level_name(level_)).append("] ").append(pending_.str()).append("\n");
    pending_.str(std::string());
    pending_.clear();
    write_all(STDERR_FILENO, line);
}

}  // namespace Vantor
