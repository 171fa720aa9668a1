// Read sizes for the differential fuzz targets: pieces from a small generator seeded by the
// input, so every input has its own cuts and a crash input replays with the same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<std::size_t> seeded_cuts(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t seed = 0x9E3779B97F4A7C15ull ^ size;
    for (std::size_t i = 0; i < size && i < 64; ++i) seed = seed * 31 + bytes[i];
    std::vector<std::size_t> pieces;
    for (int i = 0; i < 64; ++i) {
        seed ^= seed << 13; seed ^= seed >> 7; seed ^= seed << 17;
        pieces.push_back(1 + seed % 97);
    }
    return pieces;
}
