#pragma once

#include <string_view>
#include <thread>

namespace base {

// Writes one finished log line to the process's output (standard error). Safe from any thread.
void writeLogLine(std::string_view line);

// While it lives, log lines are handed to a writer thread instead of being written by the thread
// that logs, so that a slow reader of standard error (a full pipe, a busy journal) never holds up
// that thread. The writer gathers lines for a few milliseconds before each write. When more than
// `maximumPendingBytes` wait, further lines are dropped and counted, and a line saying how many
// were dropped follows once the output catches up. Destroying it writes what is left; the
// process's normal exit does so for an instance of static storage.
class BackgroundLogOutput {
  public:
    static constexpr std::size_t maximumPendingBytes = 4 << 20;

    BackgroundLogOutput();
    ~BackgroundLogOutput();
    BackgroundLogOutput(const BackgroundLogOutput&) = delete;
    BackgroundLogOutput& operator=(const BackgroundLogOutput&) = delete;

  private:
    void run();

    std::thread writer;
};

}  // namespace base
