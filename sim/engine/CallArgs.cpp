#include "CallArgs.h"

namespace vexa::sim::engine {

CK_RV Args::take(const CToken& token, const Request& req, const CWants& wants)
{
    if (CK_RV rv = token.session(req, session); rv != CKR_OK) {
        return rv;
    }
    if (wants.m_mechanism) {
        if (!req.mechanism) {
            return CKR_MECHANISM_INVALID;
        }
        if (CK_RV rv = mechanism.assign(*req.mechanism); rv != CKR_OK) {
            return rv;
        }
    }
    if (wants.m_object != CKR_OK) {
        if (CK_RV rv = token.object(req.handle, wants.m_object, object); rv != CKR_OK) {
            return rv;
        }
    }
    if (wants.m_object2 != CKR_OK) {
        if (CK_RV rv = token.object(req.handle2, wants.m_object2, object2); rv != CKR_OK) {
            return rv;
        }
    }
    if (wants.m_templ) {
        if (CK_RV rv = templ.assign(req.templ); rv != CKR_OK) {
            return rv;
        }
    }
    if (wants.m_templ2) {
        if (CK_RV rv = templ2.assign(req.templ2); rv != CKR_OK) {
            return rv;
        }
    }
    return CKR_OK;
}

}  // namespace vexa::sim::engine
