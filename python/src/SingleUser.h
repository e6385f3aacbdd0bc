// An object that one thread uses at a time. Binding calls release the GIL while they work, so
// two Python threads could otherwise be inside the same C++ object at once; a call from a second
// thread while one is under way raises RuntimeError instead. The thread under way may call in
// again (from a callback it runs), since it is the one using the object.
#pragma once

#include <atomic>
#include <thread>

namespace daq::python {

class SingleUser {
  public:
    // Held for the length of a call; made with the GIL held.
    class Use {
      public:
        explicit Use(SingleUser& user);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

      private:
        SingleUser& user_;
    };

    // `what` names the object in the error: "CaptureReader", "RunSession", ...
    explicit SingleUser(const char* what) : what_(what) {}

  private:
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the owner alone
    const char* what_;
};

}  // namespace daq::python
