// Forwards to simd_masks.hpp, which holds these masks now; goes once no file
// includes it.
#pragma once

#include "simd_masks.hpp"
