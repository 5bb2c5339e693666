#pragma once
#include <cstddef>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace vexa::daemon {

// Held shared by every thread of the daemon that opens a descriptor while it
// serves (accepting a client, creating a listening socket), and exclusively
// while a reserve is lent out: what the borrower finds free stays free.
std::shared_mutex& descriptorOpeners();

// Descriptors kept open so that a task that must not run short
// of descriptors (listing the tokens) gets them even while clients have taken
// every other one. A listing that finds no descriptor finds no token, and
// must not pass for one that found them gone.
class CDescriptorReserve {
public:
    explicit CDescriptorReserve(size_t count);
    ~CDescriptorReserve();
    CDescriptorReserve(const CDescriptorReserve&) = delete;
    CDescriptorReserve& operator=(const CDescriptorReserve&) = delete;

    // Runs task with the reserve's descriptors free and no other thread
    // opening any, then takes them back. True when the whole reserve was
    // held before, so that task had at least that many free throughout.
    template <typename Task>
    bool lend(Task&& task)
    {
        std::unique_lock<std::shared_mutex> exclusive(descriptorOpeners());
        const bool full = m_held.size() == m_count;
        release();
        task();
        refill();
        return full;
    }

    size_t held() const { return m_held.size(); }

private:
    void release();
    // Opens descriptors until count are held or none is left.
    void refill();

    const size_t m_count;
    std::vector<int> m_held;
};

}  // namespace vexa::daemon
