// Where the reader's bytes come from: a small pull interface, so that the reader runs unchanged
// over a Python file object (pysource.hpp), over memory in C++ tests and under the fuzzer.
#pragma once

#include "core/error.hpp"

#include <cstddef>
#include <string_view>
#include <vector>

namespace qf::xml {

// Bytes are pulled 65536 at a time; the reader asks again whenever a token is incomplete.
inline constexpr std::size_t READ_CHUNK = 65536;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The next chunk of input, empty at the end. The view stays valid until the next call.
    [[nodiscard]] virtual XmlResult<std::string_view> read() = 0;
};

// Serves a byte string from memory in pieces whose sizes cycle through `pieces` (each >= 1);
// tests use it to cut documents at every position without changing what the reader sees.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view data, std::vector<std::size_t> pieces = {READ_CHUNK})
        : data_(data), pieces_(std::move(pieces)) {
        if (pieces_.empty()) pieces_.push_back(READ_CHUNK);
    }
    XmlResult<std::string_view> read() override {
        std::size_t n = pieces_[next_piece_++ % pieces_.size()];
        if (n == 0) n = 1;
        if (n > data_.size() - at_) n = data_.size() - at_;
        std::string_view chunk = data_.substr(at_, n);
        at_ += n;
        return chunk;
    }

private:
    std::string_view data_;
    std::vector<std::size_t> pieces_;
    std::size_t at_ = 0;
    std::size_t next_piece_ = 0;
};

}  // namespace qf::xml
