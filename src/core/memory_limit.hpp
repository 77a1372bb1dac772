// The machine's physical memory, the bound past which a single request is
// refused as out of memory before it is made: with overcommit the system
// might grant it, and the OOM killer end the process while it is filled in.
#pragma once

#include <cstdint>

namespace csv_mendle {

// The machine's physical memory in bytes, or the largest value when the
// system does not tell.
std::uint64_t physical_memory_bytes() noexcept;

}  // namespace csv_mendle
