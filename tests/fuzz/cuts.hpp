// Read sizes for the differential fuzz targets: pieces from a small generator seeded by the
// input, so every input has its own cuts and a crash input replays with the same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
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

// The differential check every reading target makes: `run(data, pieces)` must give the same
// result read whole, one byte at a time and in the seeded cuts. Aborts on a difference and
// returns the seeded cuts for any further comparisons.
template <class Run>
std::vector<std::size_t> require_same_under_cuts(Run run, const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::string whole = run(data, std::vector<std::size_t>{});
    std::vector<std::size_t> random = seeded_cuts(bytes, size);
    if (run(data, std::vector<std::size_t>{1}) != whole) abort();
    if (run(data, random) != whole) abort();
    return random;
}
