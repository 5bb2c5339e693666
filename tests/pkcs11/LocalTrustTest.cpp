// What the library trusts on this machine: a socket in the daemon's place
// that another local user serves gets nothing from it, not the PIN of a
// login, while the daemon itself (root or the service user) is served.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "FakeDaemon.h"
#include "OtherUser.h"
#include "ToolsEndToEnd.h"
#include "WorkerSteps.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

// The attack: the daemon stops (or its socket is moved aside), and a user
// who may write to the socket directory listens under the token's socket
// name. The application, logged out, then logs in.
TEST(LocalTrust, LoginNeverReachesASocketOfAnotherUser)
{
    const std::optional<uid_t> other = otherUser();
    if (!other) {
        GTEST_SKIP() << kNeedsRoot;
    }
    DeploymentOptions options;
    options.libraryConfig = R"("logging": {"loglevel": 50, "logconsole": true})";
    ToolsDeployment deployment(LibraryTransport::Unix, options);
    const std::string socket = deployment.socketDir() + "/vexa." + deployment.serial() + ".sock";
    auto app = deployment.startOurs(worker({"init", "open", "-"}));
    ASSERT_EQ(stepResult(*app, "open", 30s), true) << app->transcript();

    deployment.daemon().stop();
    ASSERT_NE(::access(socket.c_str(), F_OK), 0);
    ASSERT_EQ(::chmod(deployment.socketDir().c_str(), 0777), 0);
    {
        FakeUnixDaemon stranger(socket, reverseReply, listenAsUser(socket, *other));
        app->writeLine("login " + kUserPin);
        EXPECT_EQ(stepResult(*app, "login", 30s), false) << app->transcript();
        EXPECT_FALSE(stranger.log().waitFor(1, 500)) << "the stranger received a request";
        EXPECT_NE(app->transcript().find("ERROR : Refusing socket " + socket + ": it is served by uid " +
                                         std::to_string(*other)),
                  std::string::npos)
            << app->transcript();
    }
    ASSERT_EQ(::chmod(deployment.socketDir().c_str(), 0700), 0);

    // The daemon, run by root, is trusted again once it is back.
    deployment.daemon().startAgain();
    app->writeLine("open");
    ASSERT_EQ(stepResult(*app, "open", 30s), true) << app->transcript() << deployment.daemonOutput();
    app->writeLine("login " + kUserPin);
    EXPECT_EQ(stepResult(*app, "login", 30s), true) << app->transcript();
}

}  // namespace
}  // namespace vexa::test
