#pragma once
// libvexa-pkcs11.so as applications load it (dlopen, C_GetFunctionList),
// for tests that ctest runs under vexa-token-sim; the target defines
// VEXA_PKCS11_MODULE as the module's path.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

namespace vexa::test {

// Loaded once and never unloaded: the library's context lives as long as
// the process.
inline CK_FUNCTION_LIST_PTR loadedModule()
{
    static CK_FUNCTION_LIST_PTR list = [] {
        void* module = dlopen(VEXA_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            ADD_FAILURE() << dlerror();
            return CK_FUNCTION_LIST_PTR{};
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR found = nullptr;
        if (getList == nullptr || getList(&found) != CKR_OK) {
            ADD_FAILURE() << "no function list";
        }
        return found;
    }();
    return list;
}

// The module initialised with the simulator's tokens, and a read/write
// session on slot 0 logged in with the simulator's user PIN; all undone after
// each test.
class ModuleSessionTest : public ::testing::Test {
protected:
    explicit ModuleSessionTest(CK_ULONG slotCount) : m_slotCount(slotCount) {}

    void SetUp() override
    {
        p11 = loadedModule();
        ASSERT_NE(p11, nullptr);
        ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
        CK_ULONG count = 0;
        ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        ASSERT_EQ(count, m_slotCount);
        ASSERT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
        CK_UTF8CHAR pin[] = "123456";
        ASSERT_EQ(p11->C_Login(session, CKU_USER, pin, 6), CKR_OK);
    }

    void TearDown() override
    {
        if (p11 == nullptr) {
            return;
        }
        if (session != 0) {
            EXPECT_EQ(p11->C_Logout(session), CKR_OK);
            EXPECT_EQ(p11->C_CloseSession(session), CKR_OK);
        }
        EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    }

    CK_FUNCTION_LIST_PTR p11 = nullptr;
    CK_SESSION_HANDLE session = 0;

private:
    CK_ULONG m_slotCount;
};

}  // namespace vexa::test
