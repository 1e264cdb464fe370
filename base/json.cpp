#include "base/json.h"

namespace maroquint::base {

std::string WriteJson(const Json &value) {
  return value.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

}  // namespace maroquint::base
