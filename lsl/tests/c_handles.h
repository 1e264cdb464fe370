// Owners for the C API's handles, so a failing assertion leaks nothing.
#pragma once

#include <lsl_c.h>

#include <memory>

namespace maroquint::lsl::test {

struct InfoDeleter {
  void operator()(lsl_streaminfo_struct_ *p) const { lsl_destroy_streaminfo(p); }
};
struct OutletDeleter {
  void operator()(lsl_outlet_struct_ *p) const { lsl_destroy_outlet(p); }
};
struct InletDeleter {
  void operator()(lsl_inlet_struct_ *p) const { lsl_destroy_inlet(p); }
};
using Info = std::unique_ptr<lsl_streaminfo_struct_, InfoDeleter>;
using Outlet = std::unique_ptr<lsl_outlet_struct_, OutletDeleter>;
using Inlet = std::unique_ptr<lsl_inlet_struct_, InletDeleter>;

}  // namespace maroquint::lsl::test
