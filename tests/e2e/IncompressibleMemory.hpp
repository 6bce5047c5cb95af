#pragma once
// A unit's full data memory of pseudo-random pages: its archive hardly shrinks, so it
// is about as large as the memory itself. The bytes AB and DC never occur in the page
// data, since AB CD and DC BA anywhere in a transfer are taken as block and end
// markers; the last page ends erased (bytes 249 to 254 FF), as a unit's last page does.
#include <random>

#include "unitsim/UnitMemory.hpp"

namespace serwer {

inline UnitMemory IncompressibleMemory(unsigned seed) {
    std::mt19937 random(seed);
    UnitMemory memory;
    memory.lastPage = 1023;
    for (int p = 0; p <= memory.lastPage; ++p) {
        Bytes page(256, '\0');
        for (char& c : page) {
            unsigned value = 0xAB;
            while (value == 0xAB || value == 0xDC) value = random() & 0xFF;
            c = static_cast<char>(value);
        }
        if (p == memory.lastPage)
            for (std::size_t k = 249; k <= 254; ++k) page[k] = static_cast<char>(0xFF);
        memory.pages.push_back(page);
    }
    return memory;
}

}  // namespace serwer
