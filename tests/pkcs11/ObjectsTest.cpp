#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "ScriptedTokenFixture.h"

using namespace vexa::test;

namespace {

constexpr uint32_t kTokenSession = 6;

class ObjectsTest : public ScriptedTokenFixture {
protected:
    void SetUp() override
    {
        startTokens(1);
        session = knownSession(0, kTokenSession);
    }

    // The one request the last call sent.
    Request onlyRequest()
    {
        const auto requests = sent();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? Request{} : requests.back();
    }

    CK_SESSION_HANDLE session = 0;
};

}  // namespace

TEST_F(ObjectsTest, CreateObjectSendsTheTemplateAndReturnsTheHandle)
{
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "note";
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &dataClass, sizeof dataClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, label, 4},
    };
    Response created;
    created.handle = 0xFFFFFFF0;
    reply(created);
    CK_OBJECT_HANDLE object = 0;
    ASSERT_EQ(context->C_CreateObject(session, attributes, 3, &object), CKR_OK);
    EXPECT_EQ(object, 0xFFFFFFF0u);  // widened, not sign-extended

    const Request request = onlyRequest();
    EXPECT_EQ(request.function, 35u);
    EXPECT_EQ(request.session, kTokenSession);
    ASSERT_EQ(request.templ.size(), 3u);
    EXPECT_EQ(request.templ[0].number, CKO_DATA);
    EXPECT_EQ(request.templ[1].flag, true);
    EXPECT_EQ(request.templ[2].value, Bytes({'n', 'o', 't', 'e'}));
}

TEST_F(ObjectsTest, ObjectHandleAndTemplateOfTheOtherCalls)
{
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {{CKA_MODIFIABLE, &no, 1}};
    CK_OBJECT_HANDLE copy = 0;
    Response copied;
    copied.handle = 12;
    reply(copied);
    ASSERT_EQ(context->C_CopyObject(session, 0x100000009, attributes, 1, &copy), CKR_OK);
    EXPECT_EQ(copy, 12u);
    Request request = onlyRequest();
    EXPECT_EQ(request.function, 40u);
    EXPECT_EQ(request.handle, 9u);  // low 32 bits
    ASSERT_EQ(request.templ.size(), 1u);
    EXPECT_EQ(request.templ[0].flag, false);

    token().requests.clear();
    ASSERT_EQ(context->C_SetAttributeValue(session, 9, attributes, 1), CKR_OK);
    request = onlyRequest();
    EXPECT_EQ(request.function, 36u);
    EXPECT_EQ(request.handle, 9u);
    EXPECT_EQ(request.templ.size(), 1u);

    token().requests.clear();
    ASSERT_EQ(context->C_DestroyObject(session, 9), CKR_OK);
    request = onlyRequest();
    EXPECT_EQ(request.function, 39u);
    EXPECT_EQ(request.handle, 9u);
    EXPECT_TRUE(request.templ.empty());
}

TEST_F(ObjectsTest, CopyFailureIsLogged)
{
    CK_ATTRIBUTE none[1] = {};
    CK_OBJECT_HANDLE copy = 77;
    reply({CKR_FUNCTION_FAILED});
    EXPECT_EQ(context->C_CopyObject(session, 1, none, 0, &copy), CKR_FUNCTION_FAILED);
    EXPECT_EQ(copy, 77u);
    EXPECT_TRUE(logged("copy obj failed"));
}

TEST_F(ObjectsTest, ObjectSizeIsReportedWhateverTheResult)
{
    const struct {
        const char* name;
        Response reply;
        CK_RV rv;
        CK_ULONG size;
    } cases[] = {
        {"Size", {CKR_OK, std::nullopt, std::nullopt, 300u}, CKR_OK, 300},
        {"Unavailable", {CKR_OK, std::nullopt, std::nullopt, 0xFFFFFFFFu}, CKR_OK, CK_UNAVAILABLE_INFORMATION},
        {"NoSize", {CKR_OK}, CKR_DEVICE_ERROR, 0},
        {"SizeWithError", {CKR_INFORMATION_SENSITIVE, std::nullopt, std::nullopt, 5u}, CKR_INFORMATION_SENSITIVE, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reply(c.reply);
        CK_ULONG size = 1234;
        EXPECT_EQ(context->C_GetObjectSize(session, 7, &size), c.rv);
        EXPECT_EQ(size, c.size);
    }
    token().responder = [](const Bytes&) { return Bytes(); };  // no reply
    CK_ULONG size = 1234;
    EXPECT_EQ(context->C_GetObjectSize(session, 7, &size), CKR_FUNCTION_FAILED);
    EXPECT_EQ(size, 0u);
}

TEST_F(ObjectsTest, FindObjectsInitSendsATemplateOnlyWhenGiven)
{
    CK_ULONG dataClass = CKO_DATA;
    CK_ATTRIBUTE match[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    ASSERT_EQ(context->C_FindObjectsInit(session, match, 1), CKR_OK);
    EXPECT_EQ(onlyRequest().templ.size(), 1u);
    EXPECT_EQ(onlyRequest().function, 33u);
    token().requests.clear();
    ASSERT_EQ(context->C_FindObjectsInit(session, nullptr, 5), CKR_OK);
    EXPECT_TRUE(onlyRequest().templ.empty());
    token().requests.clear();
    ASSERT_EQ(context->C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(onlyRequest().function, 38u);
}

TEST_F(ObjectsTest, FoundHandlesAreWidenedFromLittleEndianWords)
{
    Response found;
    found.output = Bytes{0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
    reply(found);
    CK_OBJECT_HANDLE handles[5] = {};
    CK_ULONG count = 99;
    ASSERT_EQ(context->C_FindObjects(session, handles, 5, &count), CKR_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(handles[0], 1u);
    EXPECT_EQ(handles[1], 0x102u);
    EXPECT_EQ(handles[2], 0xFFFFFFFEu);
    const Request request = onlyRequest();
    EXPECT_EQ(request.function, 37u);
    EXPECT_EQ(request.outputLength, 5u);
}

TEST_F(ObjectsTest, FindObjectsCountWhenNothingCameBack)
{
    CK_OBJECT_HANDLE handles[2] = {};
    CK_ULONG count = 99;
    reply({CKR_OPERATION_NOT_INITIALIZED});
    EXPECT_EQ(context->C_FindObjects(session, handles, 2, &count), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(count, 0u);
}

TEST_F(ObjectsTest, FindObjectsNeverWritesPastTheCallersArray)
{
    Response tooMany;
    tooMany.output = Bytes(3 * 4, 0x01);
    reply(tooMany);
    // Exactly two handles: ASan reports any write beyond them.
    auto handles = std::make_unique<CK_OBJECT_HANDLE[]>(2);
    handles[0] = handles[1] = 42;
    CK_ULONG count = 99;
    EXPECT_EQ(context->C_FindObjects(session, handles.get(), 2, &count), CKR_FUNCTION_FAILED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handles[0], 42u);

    // A reply over 2048 bytes does not decode at all.
    tooMany.output = Bytes(2052, 0x01);
    reply(tooMany);
    EXPECT_EQ(context->C_FindObjects(session, handles.get(), 2, &count), CKR_FUNCTION_FAILED);
    EXPECT_EQ(count, 0u);
}

TEST_F(ObjectsTest, FindObjectsHugeMaximumStaysAMaximum)
{
    CK_OBJECT_HANDLE handles[1];
    CK_ULONG count = 0;
    ASSERT_EQ(context->C_FindObjects(session, handles, 0x100000000, &count), CKR_OK);
    EXPECT_EQ(onlyRequest().outputLength, 0xFFFFFFFFu);
}
