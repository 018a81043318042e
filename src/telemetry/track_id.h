#pragma once
// The track id the platform host hands out for a product: asked for at each
// load of the server runtime configuration and only logged.

#include <cstdint>
#include <string>

#include "common/clock.h"

namespace oru {

// GETs the platform origin's (the report's, so a configured ServerHost counts) "api/v1/prodweb/trk?pid=<product_id>&os=Windows"
// (10 s, blocking) and returns the answer's "data" text when its "code" is
// 0. When no id comes back (transfer failure, other code, no text), returns
// a local id instead: the lower-case hex MD5 of "<pid>_<unix seconds>_<random>".
// Never empty.
std::string RequestTrackId(const std::string& product_id, const Clock& clock = SystemClock());

// Lower-case hex MD5 of "<product_id>_<timestamp>_<random>" (the local id).
std::string LocalTrackId(const std::string& product_id, uint32_t timestamp, uint32_t random);

}  // namespace oru
