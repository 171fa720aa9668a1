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
            // The descriptor is this member's own: nobody else moves its position.
            const long long n = _lseeki64(fd_, static_cast<long long>(at_), SEEK_SET) < 0
                                    ? -1
                                    : _read(fd_, dst, static_cast<unsigned>(std::min<std::size_t>(want, 1u << 30)));
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

std::unique_ptr<Block> Block::make() noexcept {
    std::unique_ptr<Block> b(new (std::nothrow) Block);
    if (!b) return nullptr;
    b->data.reset(new (std::nothrow) std::uint8_t[CAPACITY]);
    if (!b->data) return nullptr;
    return b;
}

MemberDecoder::MemberDecoder(MemberInfo info) : info_(info) {
    auto input = fd_input(info.fd, info.offset, info.compressed_size);
    if (info.deflated) {
        inflater_ = std::make_unique<Inflater>(std::move(input));
        window_.reset(new std::uint8_t[WINDOW]);
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
        auto got = inflater_->inflate(data, window_len_, Block::CAPACITY);
        if (!got) {
            failure_ = from_fault(got.error());
            return std::unexpected(*failure_);
        }
        block.end = *got;
        ended_ = inflater_->finished();
        // The window for the next block: the last WINDOW bytes of everything so far.
        const std::size_t keep = std::min(block.end, WINDOW);
        std::memcpy(window_.get(), data + block.end - keep, keep);
        window_len_ = keep;
    } else {
        while (block.end < Block::BYTES) {
            auto got = input_->read(data + block.end, Block::BYTES - block.end);
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
