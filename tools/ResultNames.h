#pragma once
// PKCS#11 names of the result codes that the library and the tokens return.
#include <string>

namespace vexa::tool {

// "CKR_PIN_INCORRECT" for 0xa0; "" for a code without a name.
std::string resultName(unsigned long rv);
// "CKR_PIN_INCORRECT (0xa0)"; "unknown result (0x...)" for a code without a name.
std::string describeResult(unsigned long rv);

}  // namespace vexa::tool
