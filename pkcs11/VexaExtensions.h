/* The library's own calls besides the PKCS#11 function list. */
#ifndef VEXA_EXTENSIONS_H
#define VEXA_EXTENSIONS_H

#include <p11-kit/pkcs11.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the token's clock to the current time; true when the token accepted it. */
bool bSetDateTime(CK_SLOT_ID slotID);

#ifdef __cplusplus
}
#endif

#endif
