// The zlib wrapper lives in wire/zlib_codec.h. These names remain only for
// the engine's transfers and its tests until they include that header.
#pragma once

#include "wire/zlib_codec.h"

namespace rk::support {

using wire::CodecResult;
using wire::compress;
using wire::CompressLevel;
using wire::decompress;

}  // namespace rk::support
