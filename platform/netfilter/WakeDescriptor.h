#pragma once

#include <system_error>

namespace platform::netfilter {

// An eventfd that one thread signals to wake another out of poll(). Signals coalesce: one drain
// takes them all.
class WakeDescriptor {
  public:
    // Throws std::system_error when the descriptor cannot be made (the process is out of
    // descriptors or memory), which leaves nothing to run the loop on.
    WakeDescriptor();
    ~WakeDescriptor();
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;

    int descriptor() const { return fileDescriptor; }
    // Makes the descriptor readable. Any thread may call it. A full counter counts as signalled.
    [[nodiscard]] std::error_code signal();
    // Makes it unreadable again, taking every signal so far. Nothing to take counts as success.
    [[nodiscard]] std::error_code drain();

  private:
    int fileDescriptor;
};

}  // namespace platform::netfilter
