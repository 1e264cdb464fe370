#pragma once

#include "core/config.h"

#include <string>

namespace maroquint::lsl::net {

// The process-wide configuration: the first readable of $LSLAPICFG,
// ./lsl_api.cfg, ~/lsl_api/lsl_api.cfg (HOME, or USERPROFILE on Windows),
// /etc/lsl_api/lsl_api.cfg; defaults when none is. Read once; problems are
// printed to standard error once.
const core::Config &ApiConfig();

// The file api_config() would read now; empty when none is readable.
std::string FindConfigFile();

}  // namespace maroquint::lsl::net
