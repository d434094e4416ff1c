// Layout of the software-id map and the helpers its two source files share.
#ifndef PI_SWID_SWID_MAP_H
#define PI_SWID_SWID_MAP_H

#include <cstddef>
#include <cstdint>

#include "frame/bytes.h"
#include "plugin_intn.h"

namespace plugin_intn::swid {

inline constexpr uint32_t kMagic = 0x504C5547;    // "PLUG" on a big-endian machine
inline constexpr uint32_t kTrailer = 0x53574944;  // "SWID"
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kSizeOffset = 4;
inline constexpr std::size_t kBlockOffset = 8;
// Magic, size and trailer words around the string-set block.
inline constexpr uint32_t kOverhead = 12;
// String capacity given to a map that holds no swid when it must grow.
inline constexpr uint32_t kEmptyGrowthStrings = 4;

plugin_strings *block(plugin_swid_map *map);
const plugin_strings *block(const plugin_swid_map *map);

}  // namespace plugin_intn::swid

#endif
