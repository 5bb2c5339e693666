#include "Errors.h"

#include "ResultNames.h"

namespace vexa::tool {

TokenError::TokenError(const std::string& call, unsigned long rv) : Failure(call + ": " + describeResult(rv)), m_rv(rv)
{}

}  // namespace vexa::tool
