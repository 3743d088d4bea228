// SHA-256 (FIPS 180-4) of a byte range, as 64 lowercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <string>

namespace quelbin::detail {

// Digest of size bytes at data (data is unused when size is 0). Uses the
// processor's SHA instructions when it has them, portable code otherwise; both
// give identical digests.
std::string sha256_hex(const void* data, std::size_t size);

// The portable implementation alone, and whether sha256_hex uses hardware
// instructions on this machine (for tests and benchmarks).
std::string sha256_hex_portable(const void* data, std::size_t size);
bool sha256_uses_hardware() noexcept;

}  // namespace quelbin::detail
