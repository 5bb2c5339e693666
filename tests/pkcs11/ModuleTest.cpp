// libvexa-pkcs11.so as an application loads it: through dlopen and
// C_GetFunctionList, configured from vexaconfig.json in the working directory.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "FakeDaemon.h"
#include "TempDir.h"

namespace {

using vexa::test::FakeReply;

// The module's context is made (and configured) once per process, so every
// test of this file shares one set-up: a fake daemon socket with one token.
class ModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new vexa::test::TempDir();
        daemon = new vexa::test::FakeUnixDaemon(dir->file("vexa.0123456789AB.sock"), [](const std::vector<uint8_t>&) {
            // rv 0 and handle 7: a session number for C_OpenSession, ignored by the others.
            return FakeReply::send({0x08, 0x00, 0x10, 0x07});
        });
        std::ofstream(dir->file("vexaconfig.json"))
            << R"({"transport": {"unix": true, "sockdir": ")" << dir->path() << R"("}})";
        previousDir = std::filesystem::current_path();
        std::filesystem::current_path(dir->path());
        module = dlopen(VEXA_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        ASSERT_NE(getFunctionList, nullptr);
        ASSERT_EQ(getFunctionList(&functions), CKR_OK);
        setDateTime = reinterpret_cast<bool (*)(CK_SLOT_ID)>(dlsym(module, "bSetDateTime"));
    }
    static void TearDownTestSuite()
    {
        std::filesystem::current_path(previousDir);
        delete daemon;
        delete dir;
    }

    // Function ids the token received, in order.
    static std::vector<uint8_t> functionsReceived()
    {
        std::vector<uint8_t> ids;
        for (const auto& packet : daemon->log().packets()) {
            const auto payload = packet.payload();
            ids.push_back(payload.size() >= 2 && payload[0] == 0x08 ? payload[1] : 0);
        }
        return ids;
    }

    static vexa::test::TempDir* dir;
    static vexa::test::FakeUnixDaemon* daemon;
    static std::string previousDir;
    static void* module;
    static CK_FUNCTION_LIST_PTR functions;
    static bool (*setDateTime)(CK_SLOT_ID);
};

vexa::test::TempDir* ModuleTest::dir = nullptr;
vexa::test::FakeUnixDaemon* ModuleTest::daemon = nullptr;
std::string ModuleTest::previousDir;
void* ModuleTest::module = nullptr;
CK_FUNCTION_LIST_PTR ModuleTest::functions = nullptr;
bool (*ModuleTest::setDateTime)(CK_SLOT_ID) = nullptr;

TEST_F(ModuleTest, FunctionListWorksBeforeInitialize)
{
    ASSERT_NE(functions, nullptr);
    EXPECT_EQ(functions->version.major, 2);
    EXPECT_EQ(functions->version.minor, 40);
    EXPECT_EQ(functions->C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    CK_FUNCTION_LIST_PTR again = nullptr;
    EXPECT_EQ(functions->C_GetFunctionList(&again), CKR_OK);
    EXPECT_EQ(again, functions) << "one table, handed out by address";

    EXPECT_EQ(functions->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_GetOperationState(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(functions->C_CancelFunction(0), CKR_FUNCTION_NOT_PARALLEL);
    ASSERT_NE(setDateTime, nullptr);
    EXPECT_FALSE(setDateTime(0));
}

// Finalising closes the session it opened, one C_CloseSession, and never
// the token's other sessions.
TEST_F(ModuleTest, InitializeSetsTheClockAndFinalizeClosesItsOwnSessions)
{
    const size_t before = daemon->log().packets().size();
    ASSERT_EQ(functions->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(functions->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(functions->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_TRUE(setDateTime(0));
    EXPECT_FALSE(setDateTime(1)) << "no such slot";
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_EQ(functions->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(functions->C_Finalize(nullptr), CKR_OK);

    const auto ids = functionsReceived();
    EXPECT_EQ(std::vector<uint8_t>(ids.begin() + static_cast<long>(before), ids.end()),
              (std::vector<uint8_t>{46, 46, 11, 12}));
}

std::set<std::string> exportedNames(const std::string& library)
{
    std::set<std::string> names;
    const std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(("nm -D --defined-only '" + library + "'").c_str(), "r"),
                                                   pclose);
    char line[512];
    while (nm != nullptr && std::fgets(line, sizeof line, nm.get()) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        names.insert(text.substr(text.rfind(' ') + 1));
    }
    return names;
}

std::set<std::string> versionScriptNames(const std::string& script)
{
    std::ifstream file(script);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    const std::string globals = text.substr(text.find("global:"), text.find("local:") - text.find("global:"));
    std::set<std::string> names;
    const std::regex name(R"(([A-Za-z_][A-Za-z0-9_]*);)");
    for (auto it = std::sregex_iterator(globals.begin(), globals.end(), name); it != std::sregex_iterator(); ++it) {
        names.insert((*it)[1]);
    }
    return names;
}

TEST(ModuleExportsTest, OnlyTheListedNamesAreExported)
{
    const auto exported = exportedNames(VEXA_PKCS11_MODULE);
    const auto listed = versionScriptNames(VEXA_PKCS11_MAP);
    EXPECT_EQ(exported, listed);
    EXPECT_EQ(listed.count("C_GetFunctionList"), 1u);
    EXPECT_EQ(listed.count("bSetDateTime"), 1u);
}

}  // namespace
