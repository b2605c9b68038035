// The hash notation, as the models name it. It lives with the state maps so
// that the ISSE chain of the mixer layer folds its contexts the same way.
#pragma once

#include "state/hash.hpp"

namespace kelvane::model {

using state::FNV_BASIS;
using state::FNV_PRIME;
using state::fnv;
using state::fnv_step;
using state::key;

}  // namespace kelvane::model
