// What a token holds survives a restart of the simulator with the same
// --state directory, and only then.
#include <gtest/gtest.h>

#include "PersistSteps.h"
#include "TempDir.h"
#include "TokenSimulator.h"

namespace vexa::test::engine {
namespace {

RunResult runStep(const std::vector<std::string>& simArgs, const char* step)
{
    std::vector<std::string> args = simArgs;
    args.insert(args.end(), {"--token", kU2fSerial});
    return runUnderSimulator(args, {VEXA_ENGINE_HID_TESTS, step});
}

TEST(EngineRestartTest, StateSurvivesARestartWithTheSameStateDirectory)
{
    TempDir state("vexa-engine-state");
    const std::vector<std::string> withState = {"--state", state.path()};
    RunResult stored = runStep(withState, "persist-store");
    ASSERT_EQ(stored.status, 0) << stored.output;
    RunResult checked = runStep(withState, "persist-check");
    EXPECT_EQ(checked.status, 0) << checked.output;
}

TEST(EngineRestartTest, WithoutStateEveryRunStartsAfresh)
{
    ASSERT_EQ(runStep({}, "persist-store").status, 0);
    RunResult checked = runStep({}, "persist-check");
    EXPECT_EQ(checked.status, 1) << checked.output;
    EXPECT_NE(checked.output.find("token object lost"), std::string::npos) << checked.output;
}

}  // namespace
}  // namespace vexa::test::engine
