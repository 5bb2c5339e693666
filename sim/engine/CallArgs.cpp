#include "CallArgs.h"

namespace vexa::sim::engine {

CK_RV Args::take(const Token& token, const Request& req, const Wants& wants) {
    if (CK_RV rv = token.session(req, session); rv != CKR_OK)
        return rv;
    if (wants.mechanism_) {
        if (!req.mechanism)
            return CKR_MECHANISM_INVALID;
        if (CK_RV rv = mechanism.assign(*req.mechanism); rv != CKR_OK)
            return rv;
    }
    if (wants.object_ != CKR_OK)
        if (CK_RV rv = token.object(req.handle, wants.object_, object); rv != CKR_OK)
            return rv;
    if (wants.object2_ != CKR_OK)
        if (CK_RV rv = token.object(req.handle2, wants.object2_, object2); rv != CKR_OK)
            return rv;
    if (wants.templ_)
        if (CK_RV rv = templ.assign(req.templ); rv != CKR_OK)
            return rv;
    if (wants.templ2_)
        if (CK_RV rv = templ2.assign(req.templ2); rv != CKR_OK)
            return rv;
    return CKR_OK;
}

}  // namespace vexa::sim::engine
