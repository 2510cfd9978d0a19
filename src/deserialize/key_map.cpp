#include "deserialize/key_map.hpp"

#include "runtime/memory.hpp"

namespace kestro {

KeyMap* KEY_MAP = nullptr;

KeyMap* key_map_new() noexcept {
    auto* map = alloc_records<KeyMap>(1);
    map->slots = alloc_records<KeySlot>(KEY_MAP_SLOTS);
    for (size_t i = 0; i < KEY_MAP_SLOTS; ++i) map->slots[i] = KeySlot{0, nullptr};
    map->occupied = 0;
    map->replaced = false;
    return map;
}

}  // namespace kestro
