// Token configuration values: one exchange each, on a slot. The slot is not
// looked up first; an unknown one fails in the call path ("Port not found").
#include <cstddef>

#include "Extensions.h"
#include "RpcFunctionIds.h"

namespace vexa::pkcs11::extensions {
namespace {

static_assert(sizeof(TokenConfigRecord) == VEXA_TOKEN_CONFIG_SIZE, "the record is 8 bytes");
static_assert(offsetof(TokenConfigRecord, config1) == 2 && offsetof(TokenConfigRecord, config3) == 4 &&
                  offsetof(TokenConfigRecord, config4) == 6,
              "the record's layout is fixed");

RpcRequest slotRequest(FunctionId function)
{
    RpcRequest request = RpcRequest_init_zero;
    request.function = function;
    return request;
}

uint32_t exchangeOnSlot(CContext& context, CK_SLOT_ID slotID, RpcRequest& request, RpcResponse& response)
{
    context.setCurrentSlot(slotID);
    context.callToken(request, response, true);
    return response.rv;
}

uint32_t callSlot(CContext& context, CK_SLOT_ID slotID, RpcRequest& request)
{
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    RpcResponse response = RpcResponse_init_zero;
    return exchangeOnSlot(context, slotID, request, response);
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
    context.logText(corvel::kLogTrace, "u32GetTokenConfig");
    if (!context.isInitialized()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (record == nullptr || record->version != VEXA_TOKEN_CONFIG_VERSION || record->size != VEXA_TOKEN_CONFIG_SIZE) {
        return CKR_ARGUMENTS_BAD;
    }
    RpcRequest request = slotRequest(kFnGetTokenConfig);
    RpcResponse response = RpcResponse_init_zero;
    const uint32_t rv = exchangeOnSlot(context, slotID, request, response);
    if (response.has_tokenConfig) {
        copyConfig(response.tokenConfig, *record);
    }
    return rv;
}

uint32_t setTokenValue(CContext& context, CK_SLOT_ID slotID, uint32_t value, uint8_t selector)
{
    RpcRequest request = slotRequest(kFnSetTokenValue);
    request.has_handle = true;
    request.handle = selector;
    request.has_value = true;
    request.value = value;
    return callSlot(context, slotID, request);
}

uint32_t setTokenByte(CContext& context, CK_SLOT_ID slotID, uint8_t value)
{
    RpcRequest request = slotRequest(kFnSetTokenByte);
    request.has_handle = true;
    request.handle = value;
    return callSlot(context, slotID, request);
}

uint32_t setTokenBytePair(CContext& context, CK_SLOT_ID slotID, uint8_t first, uint8_t second)
{
    RpcRequest request = slotRequest(kFnSetTokenBytePair);
    request.has_handle = true;
    request.handle = first;
    request.has_handle2 = true;
    request.handle2 = second;
    return callSlot(context, slotID, request);
}

uint32_t setTokenConfigWord(CContext& context, CK_SLOT_ID slotID, uint16_t value)
{
    RpcRequest request = slotRequest(kFnSetTokenConfigWord);
    request.has_tokenConfig = true;
    request.tokenConfig.has_config4 = true;
    request.tokenConfig.config4 = value;
    return callSlot(context, slotID, request);
}

uint32_t tokenCommand(CContext& context, CK_SLOT_ID slotID)
{
    RpcRequest request = slotRequest(kFnTokenCommand);
    return callSlot(context, slotID, request);
}

}  // namespace vexa::pkcs11::extensions
