#pragma once
// The engine's names for the messages of the wire component.
#include "wire/Codec.h"

namespace vexa::sim::engine {

using wire::Bytes;
using wire::decodeRequest;
using wire::encodeRequest;
using wire::encodeResponse;
using wire::kMaxRequest;
using wire::Request;
using wire::Response;
using wire::WireAttribute;
using wire::WireEcdh1;
using wire::WireEncryptData;
using wire::WireGcm;
using wire::WireMechanism;
using wire::WireOaep;

}  // namespace vexa::sim::engine
