// A zip member's bytes as a sequence of blocks: read from a file descriptor at the member's
// offset, inflated (or copied, for a stored member) and checked against the size and CRC-32
// that the container's directory gives. Byte-level like the inflater; who fills the blocks, on
// which thread, is the business of the Python-facing stream (partstream.hpp).
#pragma once

#include "inflate/inflate.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

namespace qf::inflate {

// What the directory says of a member, and the file it is read from (owned: closed with the
// decoder).
struct MemberInfo {
    int fd = -1;
    std::uint64_t offset = 0;  // of the compressed bytes in the file
    std::uint64_t compressed_size = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool deflated = true;  // else stored
};

enum class MemberFaultKind : std::uint8_t {
    Data,      // not a deflate stream (`text` in zlib's words)
    Check,     // the stream is cut, or its size or CRC-32 is not the directory's
    TooLarge,  // the stream goes on past the size the directory gives
    Input,     // reading the file failed (`code`: errno), or it ends before the member does (0)
    Memory,    // a block could not be allocated
};

struct MemberFault {
    MemberFaultKind kind;
    const char* text = "";
    int code = 0;
};

// A run of the member's bytes: data[begin, end). The bytes before `begin` are the decoder's
// history, kept there so that matches reach back into them without a second buffer.
struct Block {
    // The new bytes a block holds at most: enough that handing them over costs little, few
    // enough that the blocks a producer runs ahead stay in the caches.
    static constexpr std::size_t BYTES = std::size_t{1} << 18;
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t capacity = 0;
    std::size_t begin = 0;
    std::size_t end = 0;

    // Null when memory is short.
    static std::unique_ptr<Block> make(std::size_t capacity) noexcept;
};

class MemberDecoder {
public:
    explicit MemberDecoder(MemberInfo info);
    ~MemberDecoder();
    MemberDecoder(const MemberDecoder&) = delete;
    MemberDecoder& operator=(const MemberDecoder&) = delete;

    // The next bytes into `block` (none once the member has ended and passed its checks: then
    // done() is true). A failure found after some bytes (a size or CRC that does not match) is
    // returned by the call after the one that delivers those bytes; after a failure the same
    // failure is returned again.
    [[nodiscard]] std::expected<void, MemberFault> fill(Block& block) noexcept;
    bool done() const noexcept { return done_; }
    // The capacity of the blocks to fill: room for the history, the new bytes and the decoder's
    // slack, no more than the member needs.
    std::size_t block_capacity() const noexcept { return block_capacity_; }

private:
    [[nodiscard]] std::expected<void, MemberFault> check_end() noexcept;

    MemberInfo info_;
    std::unique_ptr<Inflater> inflater_;  // null for a stored member
    Input* input_ = nullptr;              // the stored member's input (owned by `stored_input_`)
    std::unique_ptr<Input> stored_input_;
    std::unique_ptr<std::uint8_t[]> window_;  // the last bytes delivered (WINDOW at most)
    std::size_t window_cap_ = 0;
    std::size_t window_len_ = 0;
    std::size_t block_capacity_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint32_t crc_ = 0;
    bool done_ = false;
    bool ended_ = false;  // the stream ended: the checks come next
    std::optional<MemberFault> failure_;
};

// Input over `size` bytes of a file descriptor from `offset` (not owned).
std::unique_ptr<Input> fd_input(int fd, std::uint64_t offset, std::uint64_t size);

}  // namespace qf::inflate
