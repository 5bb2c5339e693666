#pragma once

namespace vexa::daemon {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 7;

}  // namespace vexa::daemon
