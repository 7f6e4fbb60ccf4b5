// Node ids and info hashes as points of the DHT's 160-bit space, 20 raw bytes each, and the XOR
// distance that orders them.
#pragma once

#include <string>
#include <string_view>

namespace velbrook {

// 20 bytes from std::random_device.
std::string RandomNodeId();
// Leading bits that `a` and `b` share (160 when equal). Both must be 20 bytes.
int CommonPrefixBits(std::string_view a, std::string_view b);
// `a` is nearer to `target` than `b` is.
bool CloserTo(std::string_view target, std::string_view a, std::string_view b);
// A random id that shares exactly `bits` leading bits with `base` (all 160 for 160).
std::string RandomIdWithPrefix(std::string_view base, int bits);

}  // namespace velbrook
