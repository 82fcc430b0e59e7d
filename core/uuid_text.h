#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tavrel_mmp {

// Sixteen bytes of a random or hashed source written as a version 4 UUID in upper case
// ("6F9619FF-8B86-4011-B42D-00C04FC964FF"): the version and RFC 4122 variant bits are set, the
// other 122 bits are the source's. Every device identifier the library makes goes through here.
std::string uuidV4Text(std::array<std::uint8_t, 16> bytes);

}  // namespace tavrel_mmp
