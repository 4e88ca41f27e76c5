#include "core/parameters/parameter_model.h"

namespace quorin {

// No d-element rows yet: every PM7 atom is treated as having none.
std::optional<DElementParams> Pm7Model::get_d_element_params(std::uint8_t /*z*/) const { return std::nullopt; }

}  // namespace quorin
