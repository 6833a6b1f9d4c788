// One stop for a job and everything it runs: the command line's Ctrl-C or TERM, the
// window's Stop and its closing, a card that stops answering. Copies share one flag; the
// job's owner keeps one and asks it to stop, every worker of the job checks its own copy
// between sectors (or records, or files) and ends there.
#pragma once

#include <atomic>
#include <memory>

class StopToken
{
public:
    StopToken() : m_flag(std::make_shared<std::atomic_bool>(false)) {}

    // Safe from a signal handler: one lock-free store, nothing allocated.
    void requestStop() const noexcept { m_flag->store(true, std::memory_order_relaxed); }
    bool stopRequested() const noexcept { return m_flag->load(std::memory_order_relaxed); }

private:
    std::shared_ptr<std::atomic_bool> m_flag;
};
