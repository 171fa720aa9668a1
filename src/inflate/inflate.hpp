// DEFLATE decoding (RFC 1951) for the members of a zip container, and the CRC-32 that checks
// them. Byte-level: no Python.h, so the C++ tests and the fuzzer link it alone. Compressed bytes
// are pulled from an Input as the decoder needs them; output goes into blocks the caller
// provides, each beginning with the last 32 KiB of what came before, so that a part of any size
// streams through a few blocks of memory. What a damaged stream is told by, and in which words,
// follows zlib's raw inflate, which the package's pure-Python reading used before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>

namespace qf::inflate {

// The farthest back a match may reach.
inline constexpr std::size_t WINDOW = 32768;
// Room the decoder needs at the end of a block to go on: the longest match, plus the words that
// a match copy may write past its end.
inline constexpr std::size_t MIN_ROOM = 258 + 32;

enum class FaultKind : std::uint8_t {
    Data,       // not a deflate stream; `text` says why, in zlib's words
    Truncated,  // the compressed bytes end inside the stream
    Input,      // the compressed bytes could not be read: `code` is the errno, 0 when they end early
};

struct Fault {
    FaultKind kind;
    const char* text;
    int code = 0;
};

template <class T>
using Result = std::expected<T, Fault>;

// Where the compressed bytes come from.
class Input {
public:
    virtual ~Input() = default;
    // Up to `cap` bytes into `dst`; 0 at the end of the compressed data.
    [[nodiscard]] virtual Result<std::size_t> read(std::uint8_t* dst, std::size_t cap) = 0;
};

// One raw deflate stream (no zlib or gzip wrapping). Bytes after the final block are ignored.
class Inflater {
public:
    // `input_capacity`: the most compressed bytes read at once (a small member needs no more
    // than its size).
    explicit Inflater(std::unique_ptr<Input> input, std::size_t input_capacity = 1 << 18);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Decodes into out[at, cap) and returns the new end of the output. The min(total_out(),
    // WINDOW) bytes before `at` must hold the last bytes produced so far. Stops at the end of the
    // stream (finished() is then true) or when less than MIN_ROOM bytes of room are left. After
    // a fault the inflater is not used again.
    [[nodiscard]] Result<std::size_t> inflate(std::uint8_t* out, std::size_t at, std::size_t cap);
    bool finished() const noexcept;
    std::uint64_t total_out() const noexcept { return total_out_; }

    struct Tables;

private:
    enum class State : std::uint8_t { Header, Stored, Codes, Done };

    [[nodiscard]] Result<void> top_up();
    [[nodiscard]] Result<std::uint32_t> take(unsigned n);
    [[nodiscard]] Result<std::uint32_t> checked_entry(const std::uint32_t* table, unsigned root);
    [[nodiscard]] Result<void> block_header();
    [[nodiscard]] Result<void> dynamic_tables();
    [[nodiscard]] Result<std::size_t> stored(std::uint8_t* out, std::size_t at, std::size_t cap);
    [[nodiscard]] Result<std::size_t> codes(std::uint8_t* out, std::size_t at, std::size_t cap);
    void fill_bits() noexcept;
    [[nodiscard]] Result<void> fill_checked();

    std::unique_ptr<Input> input_;
    std::unique_ptr<std::uint8_t[]> inbuf_;
    std::size_t in_cap_;
    const std::uint8_t* in_ = nullptr;
    const std::uint8_t* in_end_ = nullptr;
    bool input_done_ = false;
    // Bits not yet consumed, lowest first. Above `bitcount_` it may hold copies of the bits of the
    // bytes at `in_` (a refill loads a whole word but counts only whole bytes): the same values
    // that the next refill puts there, so or-ing them in again changes nothing.
    std::uint64_t bitbuf_ = 0;
    unsigned bitcount_ = 0;
    State state_ = State::Header;
    bool final_ = false;
    std::uint32_t stored_left_ = 0;
    std::uint64_t total_out_ = 0;
    std::unique_ptr<Tables> tables_;
};

// The CRC-32 (ISO 3309, as zip and zlib use it) of `size` bytes, continuing from `crc`.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace qf::inflate
