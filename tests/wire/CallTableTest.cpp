#include <gtest/gtest.h>
#include <pb_common.h>

#include <set>
#include <string>

#include "wire/CallTable.h"

// The table is read by the library, the token and brokers alike; these are
// the ways it can disagree with the function numbers or the schema. (Each
// library request and each token reply in the other suites is also held
// against it.)

using namespace vexa::wire;

namespace {

struct Named {
    const char* name;
    uint32_t number;
};

constexpr Named kNamed[] = {
#define VEXA_WIRE_NAMED(name, number) {#name, number},
    VEXA_WIRE_FUNCTIONS(VEXA_WIRE_NAMED)
#undef VEXA_WIRE_NAMED
};

template <typename Message>
std::set<unsigned> tagsOf(const pb_msgdesc_t* fields)
{
    Message message{};
    std::set<unsigned> tags;
    pb_field_iter_t field;
    if (pb_field_iter_begin(&field, fields, &message)) {
        do {
            tags.insert(field.tag);
        } while (pb_field_iter_next(&field));
    }
    return tags;
}

// Uses one after the other from the start (unused entries only at the
// end), each of a field in tags, none twice, each with its meaning.
template <typename Use, size_t N>
void expectListOfFields(const char* call, const char* list, const Use (&uses)[N], const std::set<unsigned>& tags)
{
    std::set<unsigned> seen;
    bool ended = false;
    for (const Use& use : uses) {
        if (use.meaning == nullptr) {
            ended = true;
            continue;
        }
        const auto tag = static_cast<unsigned>(use.field);
        EXPECT_FALSE(ended) << call << ": a " << list << " entry after the list's end";
        EXPECT_EQ(tags.count(tag), 1u) << call << ": " << list << " tag " << tag;
        EXPECT_TRUE(seen.insert(tag).second) << call << ": " << list << " tag " << tag << " twice";
        EXPECT_STRNE(use.meaning, "") << call;
    }
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

TEST(CallTableTest, EveryFunctionNumberHasItsRowAndNoOtherNumberHasOne)
{
    std::set<uint32_t> numbers;
    for (const Named& named : kNamed) {
        numbers.insert(named.number);
        const Call* call = findCall(named.number);
        ASSERT_NE(call, nullptr) << named.name;
        EXPECT_EQ(call->id, named.number) << named.name;
        // "C_Sign" for Sign, "u32GetTokenConfig" for GetTokenConfig.
        EXPECT_TRUE(endsWith(call->name, named.name)) << call->name << " for " << named.name;
    }
    for (uint32_t number = 0; number < kLastFunction + 100; ++number) {
        EXPECT_EQ(findCall(number) != nullptr, numbers.count(number) == 1) << number;
    }
    EXPECT_EQ(findCall(0xFFFFFFFF), nullptr);
}

TEST(CallTableTest, RowsNameOnlyFieldsOfTheSchemaEachOnce)
{
    // function and session are the row's id and target; rv is in every reply.
    std::set<unsigned> requestTags = tagsOf<RpcRequest>(RpcRequest_fields);
    requestTags.erase(RpcRequest_function_tag);
    requestTags.erase(RpcRequest_session_tag);
    std::set<unsigned> replyTags = tagsOf<RpcResponse>(RpcResponse_fields);
    replyTags.erase(RpcResponse_rv_tag);
    std::set<std::string> names;
    for (FunctionId id : kFunctions) {
        const Call& call = *findCall(id);
        EXPECT_TRUE(names.insert(call.name).second) << call.name << " twice";
        expectListOfFields(call.name, "request", call.request, requestTags);
        expectListOfFields(call.name, "reply", call.reply, replyTags);
    }
}

TEST(CallTableTest, SessionEffectsFitTheirTargets)
{
    size_t opening = 0;
    for (FunctionId id : kFunctions) {
        const Call& call = *findCall(id);
        if (call.has(kOpensSession)) {
            ++opening;
            // A broker learns the new session's number from this reply.
            EXPECT_EQ(call.target, Target::Slot) << call.name;
            EXPECT_TRUE(call.needs() & bitOf(ReplyField::Handle)) << call.name;
        }
        if (call.has(kClosesSession)) {
            EXPECT_TRUE(call.namesSession()) << call.name;
        }
        if (call.has(kClosesAllSessions)) {
            EXPECT_EQ(call.target, Target::Slot) << call.name;
        }
        EXPECT_EQ(call.needs() & ~call.uses(), 0u) << call.name;
    }
    EXPECT_EQ(opening, 1u);
}
