// One stop for a job and everything it runs: the command line's Ctrl-C or TERM, the
// window's Stop and its closing, a card that stops answering. Copies share one flag; the
// job's owner keeps one and asks it to stop, every worker of the job checks its own copy
// between sectors (or records, or files) and ends there. A part of a job (one file's copy)
// takes a child: stopping the child ends that part only, stopping the job ends them all.
#pragma once

#include <atomic>
#include <memory>

class StopToken
{
public:
    StopToken() : m_state(std::make_shared<State>()) {}

    // A token that stops with this one, and can also be stopped alone.
    StopToken child() const
    {
        StopToken token;
        token.m_state->parent = m_state;
        return token;
    }
    // A token that stops with this one or with `also`: a copy stops for its job's stop
    // and for the card's.
    StopToken child(const StopToken &also) const
    {
        StopToken token = child();
        token.m_state->also = also.m_state;
        return token;
    }

    // Safe from a signal handler: one lock-free store, nothing allocated.
    void requestStop() const noexcept { m_state->flag.store(true, std::memory_order_relaxed); }
    // This token's request or that of any token it is a child of.
    bool stopRequested() const noexcept { return stopped(m_state.get()); }
    // Withdraws this token's own request, for the next job of a long-lived owner.
    void clear() const noexcept { m_state->flag.store(false, std::memory_order_relaxed); }

private:
    struct State
    {
        std::atomic_bool flag{false};
        std::shared_ptr<const State> parent;
        std::shared_ptr<const State> also; // a second parent, for child(also)
    };
    static bool stopped(const State *state) noexcept
    {
        for (; state; state = state->parent.get()) {
            if (state->flag.load(std::memory_order_relaxed) || stopped(state->also.get()))
                return true;
        }
        return false;
    }
    std::shared_ptr<State> m_state;
};
