/* Applications written in C include vexa.h on its own: this file must
 * compile as C, and the declarations must have the types applications
 * expect. */
#include <stddef.h>

#include "vexa.h"

#define SAME_TYPE(function, type) __builtin_types_compatible_p(__typeof__(&function), type)

_Static_assert(sizeof(TokenConfigRecord) == VEXA_TOKEN_CONFIG_SIZE, "TokenConfigRecord is 8 bytes in C");
_Static_assert(offsetof(TokenConfigRecord, config1) == 2 && offsetof(TokenConfigRecord, config3) == 4 &&
                   offsetof(TokenConfigRecord, config4) == 6,
               "the record's layout");
_Static_assert(CKR_VEXA_NO_BITCOIN_KEY == 0x80000001UL, "no Bitcoin key");
_Static_assert(CKR_VEXA_BITCOIN_KEY_EXISTS == 0x80000002UL, "Bitcoin key exists");
_Static_assert(CKR_VEXA_MORE_DATA == CKR_OPERATION_ACTIVE, "more data");

_Static_assert(SAME_TYPE(u32GetTokenConfig, uint32_t (*)(CK_SLOT_ID, TokenConfigRecord*)), "u32GetTokenConfig");
_Static_assert(SAME_TYPE(u32SetTokenValue, uint32_t (*)(CK_SLOT_ID, uint32_t, uint8_t)), "u32SetTokenValue");
_Static_assert(SAME_TYPE(u32SetTokenBytePair, uint32_t (*)(CK_SLOT_ID, uint8_t, uint8_t)), "u32SetTokenBytePair");
_Static_assert(SAME_TYPE(u32SetTokenConfigWord, uint32_t (*)(CK_SLOT_ID, uint16_t)), "u32SetTokenConfigWord");
_Static_assert(SAME_TYPE(u32WriteTokenData, uint32_t (*)(CK_SLOT_ID, const uint8_t*, CK_ULONG)), "u32WriteTokenData");
_Static_assert(SAME_TYPE(u32ReadTokenData, uint32_t (*)(CK_SLOT_ID, uint8_t*, CK_ULONG_PTR)), "u32ReadTokenData");
_Static_assert(SAME_TYPE(bReadLogEntries, bool (*)(CK_SLOT_ID, uint8_t*, CK_ULONG_PTR)), "bReadLogEntries");
_Static_assert(SAME_TYPE(bSetDateTime, bool (*)(CK_SLOT_ID)), "bSetDateTime");
_Static_assert(SAME_TYPE(u32HasBitcoinKey, uint32_t (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR)), "u32HasBitcoinKey");
_Static_assert(SAME_TYPE(u32GetBitcoinPub,
                         uint32_t (*)(CK_SESSION_HANDLE, const uint32_t*, CK_ULONG, uint8_t*, CK_ULONG_PTR)),
               "u32GetBitcoinPub");
_Static_assert(SAME_TYPE(u32SignBitcoinHash, uint32_t (*)(CK_SESSION_HANDLE, const uint8_t*, CK_ULONG, const uint32_t*,
                                                          CK_ULONG, uint8_t*, CK_ULONG_PTR)),
               "u32SignBitcoinHash");
