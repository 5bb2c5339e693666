// Token configuration values: one exchange each, on a slot. The slot is not
// looked up first; an unknown one fails in the call path ("Port not found").
#include <cstddef>

#include "Extensions.h"

namespace vexa::pkcs11::extensions {
namespace {

static_assert(sizeof(TokenConfigRecord) == VEXA_TOKEN_CONFIG_SIZE, "the record is 8 bytes");
static_assert(offsetof(TokenConfigRecord, config1) == 2 && offsetof(TokenConfigRecord, config3) == 4 &&
                  offsetof(TokenConfigRecord, config4) == 6,
              "the record's layout is fixed");

// One exchange on the slot, after the initialised test: no trace line, no
// argument to check.
template <typename Fill>
uint32_t callSlot(CContext& context, CK_SLOT_ID slotID, FunctionId function, Fill fill)
{
    return static_cast<uint32_t>(
        entryCall(context, nullptr, kNoChecks, [&] { return exchangeOnSlot(context, slotID, function, fill); }));
}

// A value the token left out is not given: the record keeps what it had.
void copyConfig(const RpcTokenConfig& config, TokenConfigRecord& record)
{
    if (config.has_config1) {
        record.config1 = static_cast<uint8_t>(config.config1);
    }
    if (config.has_config2) {
        record.config2 = static_cast<uint8_t>(config.config2);
    }
    if (config.has_config3) {
        record.config3 = static_cast<uint8_t>(config.config3);
    }
    if (config.has_config4) {
        record.config4 = static_cast<uint16_t>(config.config4);
    }
}

}  // namespace

uint32_t getTokenConfig(CContext& context, CK_SLOT_ID slotID, TokenConfigRecord* record)
{
    const auto checks = [&] {
        const bool bad =
            record == nullptr || record->version != VEXA_TOKEN_CONFIG_VERSION || record->size != VEXA_TOKEN_CONFIG_SIZE;
        return bad ? CKR_ARGUMENTS_BAD : CKR_OK;
    };
    return static_cast<uint32_t>(entryCall(context, "u32GetTokenConfig", checks, [&] {
        return exchangeOnSlot(context, slotID, fn::GetTokenConfig, kNoFields, [&](TokenCall& call) {
            if (call.response.has_tokenConfig) {
                copyConfig(call.response.tokenConfig, *record);
            }
            return call.response.rv;
        });
    }));
}

uint32_t setTokenValue(CContext& context, CK_SLOT_ID slotID, uint32_t value, uint8_t selector)
{
    return callSlot(context, slotID, fn::SetTokenValue, [&](TokenCall& call) {
        call.request.has_handle = true;
        call.request.handle = selector;
        call.request.has_value = true;
        call.request.value = value;
    });
}

uint32_t setTokenByte(CContext& context, CK_SLOT_ID slotID, uint8_t value)
{
    return callSlot(context, slotID, fn::SetTokenByte, [&](TokenCall& call) {
        call.request.has_handle = true;
        call.request.handle = value;
    });
}

uint32_t setTokenBytePair(CContext& context, CK_SLOT_ID slotID, uint8_t first, uint8_t second)
{
    return callSlot(context, slotID, fn::SetTokenBytePair, [&](TokenCall& call) {
        call.request.has_handle = true;
        call.request.handle = first;
        call.request.has_handle2 = true;
        call.request.handle2 = second;
    });
}

uint32_t setTokenConfigWord(CContext& context, CK_SLOT_ID slotID, uint16_t value)
{
    return callSlot(context, slotID, fn::SetTokenConfigWord, [&](TokenCall& call) {
        call.request.has_tokenConfig = true;
        call.request.tokenConfig.has_config4 = true;
        call.request.tokenConfig.config4 = value;
    });
}

uint32_t tokenCommand(CContext& context, CK_SLOT_ID slotID)
{
    return callSlot(context, slotID, fn::TokenCommand, kNoFields);
}

}  // namespace vexa::pkcs11::extensions
