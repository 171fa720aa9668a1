// Zip members as blocks of bytes (see member.hpp).
#include "inflate/member.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qf::inflate {
namespace {

class FdInput final : public Input {
public:
    FdInput(int fd, std::uint64_t offset, std::uint64_t size) : fd_(fd), at_(offset), left_(size) {}

    Result<std::size_t> read(std::uint8_t* dst, std::size_t cap) override {
        if (left_ == 0 || cap == 0) return 0;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(cap, left_));
        for (;;) {
#ifdef _WIN32
            // No positional read that leaves a shared descriptor's position alone: the host
            // reads members through zipfile there.
            const long long n = -1;
            errno = ENOSYS;
#else
            const ssize_t n = ::pread(fd_, dst, want, static_cast<off_t>(at_));
#endif
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::unexpected(Fault{FaultKind::Input, "", errno});
            }
            if (n == 0) return std::unexpected(Fault{FaultKind::Input, "", 0});
            at_ += static_cast<std::uint64_t>(n);
            left_ -= static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
    std::uint64_t at_;
    std::uint64_t left_;
};

MemberFault from_fault(const Fault& f) noexcept {
    switch (f.kind) {
        case FaultKind::Data: return MemberFault{MemberFaultKind::Data, f.text};
        case FaultKind::Truncated: return MemberFault{MemberFaultKind::Check};
        case FaultKind::Input: break;
    }
    return MemberFault{MemberFaultKind::Input, "", f.code};
}

}  // namespace

std::unique_ptr<Input> fd_input(int fd, std::uint64_t offset, std::uint64_t size) {
    return std::make_unique<FdInput>(fd, offset, size);
}

std::unique_ptr<Block> Block::make(std::size_t capacity) noexcept {
    std::unique_ptr<Block> b(new (std::nothrow) Block);
    if (!b) return nullptr;
    b->data.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!b->data) return nullptr;
    b->capacity = capacity;
    return b;
}

MemberDecoder::MemberDecoder(MemberInfo info) : info_(info) {
    // A member smaller than a block comes whole in its first block, or goes past its size
    // there (and is refused): it needs no more room, nor a longer window. PERF NOTE: the parts
    // of a workbook are mostly small; full-size buffers for each cost more than reading them.
    const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(info.size, Block::BYTES));
    window_cap_ = std::min(bytes, WINDOW);
    block_capacity_ = window_cap_ + bytes + MIN_ROOM + 1;
    auto input = fd_input(info.fd, info.offset, info.compressed_size);
    if (info.deflated) {
        const std::uint64_t input_capacity = std::min<std::uint64_t>(info.compressed_size, std::size_t{1} << 18);
        inflater_ = std::make_unique<Inflater>(std::move(input), static_cast<std::size_t>(input_capacity));
        window_.reset(new std::uint8_t[window_cap_ + 1]);
    } else {
        input_ = input.get();
        stored_input_ = std::move(input);
    }
}

MemberDecoder::~MemberDecoder() {
    if (info_.fd >= 0) {
#ifdef _WIN32
        _close(info_.fd);
#else
        ::close(info_.fd);
#endif
    }
}

std::expected<void, MemberFault> MemberDecoder::check_end() noexcept {
    if (delivered_ != info_.size || crc_ != info_.crc) return std::unexpected(MemberFault{MemberFaultKind::Check});
    return {};
}

std::expected<void, MemberFault> MemberDecoder::fill(Block& block) noexcept {
    block.begin = block.end = 0;
    if (failure_) return std::unexpected(*failure_);
    if (done_) return {};
    std::uint8_t* const data = block.data.get();
    if (inflater_) {
        std::memcpy(data, window_.get(), window_len_);
        block.begin = block.end = window_len_;
        auto got = inflater_->inflate(data, window_len_, block.capacity);
        if (!got) {
            failure_ = from_fault(got.error());
            return std::unexpected(*failure_);
        }
        block.end = *got;
        ended_ = inflater_->finished();
        // The window for the next block: the last WINDOW bytes of everything so far.
        const std::size_t keep = std::min(block.end, window_cap_);
        std::memcpy(window_.get(), data + block.end - keep, keep);
        window_len_ = keep;
    } else {
        const std::size_t limit = block.capacity - MIN_ROOM;
        while (block.end < limit) {
            auto got = input_->read(data + block.end, limit - block.end);
            if (!got) {
                failure_ = from_fault(got.error());
                return std::unexpected(*failure_);
            }
            if (*got == 0) {
                ended_ = true;
                break;
            }
            block.end += *got;
        }
    }
    // What goes past the directory's size is not delivered: the stream is refused there.
    if (block.end - block.begin > info_.size - delivered_) {
        block.end = block.begin + static_cast<std::size_t>(info_.size - delivered_);
        failure_ = MemberFault{MemberFaultKind::TooLarge};
    }
    crc_ = crc32(crc_, data + block.begin, block.end - block.begin);
    delivered_ += block.end - block.begin;
    if (ended_ && !failure_) {
        if (auto ok = check_end(); !ok) failure_ = ok.error();
        else done_ = true;
    }
    return {};
}

}  // namespace qf::inflate
