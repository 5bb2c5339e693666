// The behaviour suite through CHIDTransport and the simulated device, one
// token in each framing. Run by ctest under vexa-token-sim (see CMakeLists).
//
// Started as "vexa_engine_hid_tests persist-store|persist-check" it instead
// plays one side of the restart test (RestartTest.cpp).
#include <gtest/gtest.h>

#include <cstring>

#include "HidLink.h"
#include "PersistSteps.h"
#include "TokenBehaviour.h"

namespace vexa::test::engine {
namespace {

LinkKind hidToken(const std::string& name, const std::string& serial, const std::string& product, bool u2f)
{
    return {name, serial, product, [=] {
                auto link = std::make_unique<HidLink>(serial);
                EXPECT_EQ(link->u2fFraming(), u2f) << "framing of " << serial;
                return std::unique_ptr<TokenLink>(std::move(link));
            }};
}

INSTANTIATE_TEST_SUITE_P(Hid, TokenBehaviour,
                         ::testing::Values(hidToken("U2f", kU2fSerial, "Vexa", true),
                                           hidToken("ReportId", kReportIdSerial, "Varkon", false)),
                         linkName);

}  // namespace
}  // namespace vexa::test::engine

int main(int argc, char** argv)
{
    using namespace vexa::test::engine;
    if (argc == 2 && std::strcmp(argv[1], "persist-store") == 0) {
        return persistStore();
    }
    if (argc == 2 && std::strcmp(argv[1], "persist-check") == 0) {
        return persistCheck();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
