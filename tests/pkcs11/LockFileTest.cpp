// The lock file's parts, each taken the way a process of its own would take
// it: a part locks only its token, and a part kept by another gives up when
// its wait is over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "ExchangeLock.h"
#include "LockFile.h"
#include "TempDir.h"

using namespace vexa::pkcs11;
using namespace std::chrono_literals;

namespace {

class LockFileTest : public ::testing::Test {
protected:
    LockFileTest() { std::ofstream created(path()); }
    std::string path() const { return dir.file("exchange.lock"); }

    vexa::test::TempDir dir;
};

TEST_F(LockFileTest, ATokenIsOneHoldersAtATimeOtherTokensAreFree)
{
    CLockFileToken first(path(), 0x0123456789AB);
    CLockFileToken sameToken(path(), 0x0123456789AB);
    CLockFileToken otherToken(path(), 0x0123456789AC);
    ASSERT_TRUE(first.lock(0ms));
    EXPECT_FALSE(sameToken.lock(0ms));
    EXPECT_TRUE(otherToken.lock(0ms)) << "another token never waits";
    first.unlock();
    EXPECT_TRUE(sameToken.lock(0ms));
    sameToken.unlock();
    otherToken.unlock();
}

TEST_F(LockFileTest, WaitEndsWhenTheHolderLetsGoOrTheTimeIsUp)
{
    CLockFileToken holder(path(), 7);
    CLockFileToken waiter(path(), 7);
    ASSERT_TRUE(holder.lock(0ms));
    EXPECT_FALSE(waiter.lock(50ms));

    std::atomic<bool> waiting{false};
    auto taken = std::async(std::launch::async, [&] {
        waiting = true;
        return waiter.lock(60s);
    });
    while (!waiting) {
        std::this_thread::yield();
    }
    holder.unlock();
    ASSERT_EQ(taken.wait_for(60s), std::future_status::ready);
    EXPECT_TRUE(taken.get());
    EXPECT_FALSE(holder.lock(0ms)) << "the waiter holds it now";
    waiter.unlock();
}

TEST_F(LockFileTest, ClosedPartLeavesNothingLocked)
{
    CLockFileToken other(path(), 3);
    {
        CLockFileToken holder(path(), 3);
        ASSERT_TRUE(holder.lock(0ms));
        holder.abandon();
    }
    EXPECT_TRUE(other.lock(0ms));
    other.unlock();
}

TEST_F(LockFileTest, MissingFileCannotBeOpened)
{
    EXPECT_THROW(CLockFileToken(dir.file("missing/exchange.lock"), 1), std::system_error);
}

// The exchange lock: the process's mutex first, then the lock file; a lock
// file kept by another leaves nothing held.
TEST_F(LockFileTest, ExchangeLockHoldsNothingWhenTheLockFileIsBusy)
{
    CExchangeLock lock;
    lock.useLockFile(std::make_unique<CLockFileToken>(path(), 9));
    EXPECT_EQ(lock.lockFilePath(), path());
    CLockFileToken otherProcess(path(), 9);
    ASSERT_TRUE(otherProcess.lock(0ms));
    EXPECT_EQ(lock.acquire(20ms), CExchangeLock::Outcome::LockFileBusy);
    otherProcess.unlock();
    ASSERT_EQ(lock.acquire(20ms), CExchangeLock::Outcome::Held) << "the mutex was released with the failure";
    EXPECT_FALSE(otherProcess.lock(0ms));
    lock.release();
    EXPECT_TRUE(otherProcess.lock(0ms));
    otherProcess.unlock();
}

}  // namespace
