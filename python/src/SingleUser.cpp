#include "SingleUser.h"

#include <string>

#include "Errors.h"

namespace daq::python {

SingleUser::Use::Use(SingleUser& user) : user_(user) {
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id expected{};
    if (!user.owner_.compare_exchange_strong(expected, self) && expected != self) {
        throw RaisedError(PyExc_RuntimeError, std::string("this ") + user.what_ +
                                                  " is in use by another thread; use one " +
                                                  user.what_ + " per thread");
    }
    ++user.depth_;
}

SingleUser::Use::~Use() {
    if (--user_.depth_ == 0) user_.owner_.store(std::thread::id{});
}

}  // namespace daq::python
