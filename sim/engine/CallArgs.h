#pragma once
// The arguments most calls take from their request, checked in one order
// (session, mechanism, first handle, second handle, templates) so every call
// reports the first bad one the same way.
#include "Attributes.h"
#include "Mechanism.h"
#include "Token.h"

namespace vexa::sim::engine {

// Which arguments a call takes; a handle is named by the error an unknown one
// gives (CKR_KEY_HANDLE_INVALID, CKR_OBJECT_HANDLE_INVALID, ...).
class CWants {
public:
    CWants& mechanism()
    {
        m_mechanism = true;
        return *this;
    }
    CWants& object(CK_RV invalid)
    {
        m_object = invalid;
        return *this;
    }
    CWants& object2(CK_RV invalid)
    {
        m_object2 = invalid;
        return *this;
    }
    CWants& templ()
    {
        m_templ = true;
        return *this;
    }
    CWants& templ2()
    {
        m_templ2 = true;
        return *this;
    }

private:
    friend struct Args;
    bool m_mechanism = false;
    CK_RV m_object = CKR_OK;  // CKR_OK: no handle wanted
    CK_RV m_object2 = CKR_OK;
    bool m_templ = false;
    bool m_templ2 = false;
};

struct Args {
    CK_SESSION_HANDLE session = 0;
    CMechanism mechanism;
    CK_OBJECT_HANDLE object = 0;   // from `handle`
    CK_OBJECT_HANDLE object2 = 0;  // from `handle2`
    CTemplate templ, templ2;

    // The first failure, or CKR_OK with every wanted argument filled in.
    CK_RV take(const CToken& token, const Request& req, const CWants& wants);
};

}  // namespace vexa::sim::engine
