#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/log/Log.h"
#include "platform/netfilter/LearnedNameRouting.h"
#include "platform/netfilter/NetfilterQueue.h"

namespace platform::netfilter {

// The thread that reads the answer queue: every packet is accepted unchanged, in the order it
// came, once the DNS answers it carries (DNSAnswerReader) are learnt. Learning comes first so
// that a program that connects as soon as it has the answer finds the address in the sets; it
// takes microseconds and never waits for a provider callback. A packet that cannot be read, or
// whose learning fails, is accepted all the same.
//
// Every answer the machine receives waits for this thread, so it waits in the queue's socket
// itself (NetfilterQueue::receiveWaiting) rather than in a poll loop: an answer costs one wake,
// one read and one send of the verdicts of its batch.
class DNSAnswerListener {
  public:
    // The thread runs on `processors` only, when it can and they are given: the processors whose
    // answers the queue receives.
    DNSAnswerListener(std::unique_ptr<NetfilterQueue> queue,
                      std::shared_ptr<LearnedNameRouting> routing,
                      std::vector<unsigned> processors = {});
    // Stops the thread, as stop() does.
    ~DNSAnswerListener();
    DNSAnswerListener(const DNSAnswerListener&) = delete;
    DNSAnswerListener& operator=(const DNSAnswerListener&) = delete;

    void start();
    // Accepts every packet still waiting, unbinds the queue and ends the thread.
    void stop();

    // How long the thread pauses after its socket failed, so that it never spins on it.
    static constexpr std::chrono::milliseconds failurePause{250};

  private:
    void run();
    void handle(const NetfilterQueue::Packet& packet);

    std::unique_ptr<NetfilterQueue> queue;
    std::shared_ptr<LearnedNameRouting> routing;
    const std::vector<unsigned> processors;
    const base::Logger logger;
    std::atomic<bool> stopping{false};
    std::thread thread;
    bool didReportReadFailure = false;
};

}  // namespace platform::netfilter
