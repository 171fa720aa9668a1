// Differential fuzzing of the inflater against zlib: every input, taken as a raw deflate stream,
// must inflate to zlib's bytes or fail where zlib fails, with zlib's words, whatever the sizes of
// the input reads and of the output blocks. The first input byte picks the sizes, so that a
// crash input replays with the same ones; the rest is the stream.
#include "inflate/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qf::inflate;

class Pieces final : public Input {
public:
    Pieces(const std::uint8_t* data, std::size_t size, std::size_t piece) : data_(data), left_(size), piece_(piece) {}
    Result<std::size_t> read(std::uint8_t* dst, std::size_t cap) override {
        const std::size_t n = std::min({cap, left_, piece_});
        std::memcpy(dst, data_, n);
        data_ += n;
        left_ -= n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
    std::size_t piece_;
};

struct Outcome {
    std::string bytes;
    std::string error;  // empty, "truncated" for a cut stream, or the data error
};

Outcome ours(const std::uint8_t* data, std::size_t size, std::size_t piece, std::size_t block) {
    Inflater inflater(std::make_unique<Pieces>(data, size, piece));
    std::vector<std::uint8_t> buf(WINDOW + block + MIN_ROOM);
    Outcome out;
    std::size_t history = 0;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        auto got = inflater.inflate(buf.data(), history, buf.size());
        if (!got) {
            out.error = got.error().kind == FaultKind::Truncated ? "truncated" : got.error().text;
            return out;
        }
        out.bytes.append(reinterpret_cast<const char*>(buf.data()) + history, *got - history);
        if (inflater.finished()) return out;
        if (*got == history) abort();  // no progress with room to spare
        const std::size_t keep = std::min(*got, WINDOW);
        std::memmove(buf.data(), buf.data() + *got - keep, keep);
        history = keep;
    }
    abort();
}

Outcome zlib_raw(const std::uint8_t* data, std::size_t size) {
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK) abort();
    Outcome out;
    std::vector<char> buf(1 << 16);
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(size);
    for (;;) {
        s.next_out = reinterpret_cast<Bytef*>(buf.data());
        s.avail_out = static_cast<uInt>(buf.size());
        const int rc = inflate(&s, Z_NO_FLUSH);
        out.bytes.append(buf.data(), buf.size() - s.avail_out);
        if (rc == Z_STREAM_END) break;
        if (rc == Z_DATA_ERROR) {
            out.error = s.msg;
            break;
        }
        if (rc != Z_OK || (s.avail_in == 0 && s.avail_out != 0)) {
            out.error = "truncated";
            break;
        }
    }
    inflateEnd(&s);
    return out;
}

// zlib hands out the bytes before a failure; ours may give fewer (a block that fails is given
// up whole): a start of zlib's bytes, then the same failure.
bool agree(const Outcome& a, const Outcome& z) {
    if (a.error != z.error) return false;
    if (a.error.empty()) return a.bytes == z.bytes;
    return a.bytes.size() <= z.bytes.size() && z.bytes.compare(0, a.bytes.size(), a.bytes) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + (bytes[0] & 0x0F) * 977;
    const std::size_t block = MIN_ROOM + (bytes[0] >> 4) * 4099;
    if (!agree(ours(bytes + 1, size - 1, piece, block), zlib_raw(bytes + 1, size - 1))) abort();
    return 0;
}
