#include "DeviceFraming.h"

#include "ReportIdDeviceFraming.h"
#include "U2fDeviceFraming.h"

namespace vexa::sim {

std::unique_ptr<IDeviceFraming> makeDeviceFraming(Framing framing)
{
    if (framing == Framing::U2f) {
        return std::make_unique<CU2fDeviceFraming>();
    }
    return std::make_unique<CReportIdDeviceFraming>();
}

}  // namespace vexa::sim
