// The log stream used by the server, the utilities and the program's shutdown messages.
//
// A message is built by inserting a level first, then its pieces, then std::endl:
//
//     Vantor::ostream log;
//     log << Vantor::loglevel(Vantor::Log::Error) << "DAQServer: cannot bind socket" << std::endl;
//
// Each message is written to standard error in one piece, prefixed by its level, so that
// errors stand out from information in a console or a captured log.
#pragma once

#include <ostream>
#include <sstream>
#include <string>

namespace Vantor {

namespace Log {
enum LogLevel : int {
    Error = 4,
    Info = 64,
};
}  // namespace Log

class ostream;

class loglevel {
  public:
    explicit loglevel(int level) : level_(level) {}
    void operator()(ostream& stream) const;
    int level() const { return level_; }

  private:
    int level_;
};

class ostream {
  public:
    ostream() = default;
    ~ostream();
    ostream(const ostream&) = delete;
    ostream& operator=(const ostream&) = delete;

    ostream& operator<<(const loglevel& level);
    // std::endl ends the message and writes it; other manipulators apply to the text.
    ostream& operator<<(std::ostream& (*manipulator)(std::ostream&));
    template <typename T>
    ostream& operator<<(const T& value) {
        pending_ << value;
        return *this;
    }

    void set_level(int level) { level_ = level; }
    int level() const { return level_; }

  private:
    void emit();

    int level_ = Log::Info;
    std::ostringstream pending_;
};

// The prefix that marks a message of the given level ("ERROR", "INFO", or the number).
std::string level_name(int level);

}  // namespace Vantor
