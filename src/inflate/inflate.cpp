// DEFLATE decoding and CRC-32 (see inflate.hpp).
//
// Codes are decoded through tables indexed by the next bits of input: a root table of 2^ROOT
// entries, and for codes longer than ROOT bits a subtable under the root entry of their first
// ROOT bits. The hot loop runs while at least FAST_INPUT bytes of input and MIN_ROOM bytes of
// output room are at hand: it loads a whole word of input at a time and decodes a length, a
// distance and their extra bits (48 bits at most) from one load. Near the end of the input a
// checked loop takes over, which consumes only bits that exist, so that a cut stream stops
// exactly where zlib would: after the last whole symbol.
#include "inflate/inflate.hpp"

#include "core/error.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace qf::inflate {
namespace {

// A decode table entry, one 32-bit word:
//   bits 0-7    the bits the entry consumes (for a link, the root bits)
//   bits 8-15   the kind, with the number of extra bits or subtable bits in the low nibble
//   bits 16-31  the value: a literal byte, a length or distance base, a subtable index
constexpr std::uint32_t K_LITERAL = 0x00;  // a literal byte (code length codes: the length)
constexpr std::uint32_t K_BASE = 0x10;     // a length or distance base; low nibble: extra bits
constexpr std::uint32_t K_END = 0x20;      // the end of the block
constexpr std::uint32_t K_LINK = 0x40;     // a subtable; low nibble: its index bits
constexpr std::uint32_t K_INVALID = 0x80;  // a code that stands for no symbol

constexpr std::uint32_t make_entry(std::uint32_t kind, std::uint32_t value, std::uint32_t len = 0) {
    return value << 16 | kind << 8 | len;
}
constexpr unsigned entry_len(std::uint32_t e) { return e & 0xFF; }
constexpr unsigned entry_kind(std::uint32_t e) { return (e >> 8) & 0xF0; }
constexpr unsigned entry_low(std::uint32_t e) { return (e >> 8) & 0x0F; }
constexpr unsigned entry_value(std::uint32_t e) { return e >> 16; }
constexpr std::uint64_t low_bits(unsigned n) { return (std::uint64_t{1} << n) - 1; }

constexpr unsigned LIT_ROOT = 10;
constexpr unsigned DIST_ROOT = 8;
constexpr unsigned CLEN_ROOT = 7;
// Enough for any code set that passes the checks (the largest complete sets need 1332 and 402
// entries with these roots); the build checks the bound all the same.
constexpr std::size_t LIT_CAP = 2048;
constexpr std::size_t DIST_CAP = 1024;

constexpr std::size_t INPUT_PAD = 16;
// The hot loop loads a word at `in`, so it needs that many bytes of real input there.
constexpr std::size_t FAST_INPUT = 16;

constexpr std::uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the lengths of the code length code.
constexpr std::uint8_t CLEN_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What each symbol of an alphabet decodes to, before the code length is added.
constexpr std::array<std::uint32_t, 288> LIT_SYMBOLS = [] {
    std::array<std::uint32_t, 288> s{};
    for (std::uint32_t i = 0; i < 256; ++i) s[i] = make_entry(K_LITERAL, i);
    s[256] = make_entry(K_END, 0);
    for (std::uint32_t i = 0; i < 29; ++i) s[257 + i] = make_entry(K_BASE | LENGTH_EXTRA[i], LENGTH_BASE[i]);
    s[286] = s[287] = make_entry(K_INVALID, 0);  // in the fixed code only
    return s;
}();
constexpr std::array<std::uint32_t, 32> DIST_SYMBOLS = [] {
    std::array<std::uint32_t, 32> s{};
    for (std::uint32_t i = 0; i < 30; ++i) s[i] = make_entry(K_BASE | DIST_EXTRA[i], DIST_BASE[i]);
    s[30] = s[31] = make_entry(K_INVALID, 0);  // in the fixed code only
    return s;
}();
constexpr std::array<std::uint32_t, 19> CLEN_SYMBOLS = [] {
    std::array<std::uint32_t, 19> s{};
    for (std::uint32_t i = 0; i < 19; ++i) s[i] = make_entry(K_LITERAL, i);
    return s;
}();

Fault data_fault(const char* text) { return Fault{FaultKind::Data, text}; }
std::unexpected<Fault> fail(const char* text) { return std::unexpected(data_fault(text)); }
std::unexpected<Fault> truncated() { return std::unexpected(Fault{FaultKind::Truncated, "truncated"}); }

// The canonical Huffman code of the lengths lens[0, n) as a decode table. False for a set that
// zlib refuses: over-subscribed, or incomplete unless it is one code of one bit (never for the
// code length code).
bool build_table(const std::uint8_t* lens, unsigned n, const std::uint32_t* symbols, unsigned root,
                 bool code_length_code, std::uint32_t* table, std::size_t cap) {
    unsigned count[16] = {};
    for (unsigned i = 0; i < n; ++i) ++count[lens[i]];
    count[0] = 0;
    unsigned max = 15;
    while (max > 0 && count[max] == 0) --max;
    const std::size_t root_size = std::size_t{1} << root;
    // No code at all: each lookup is an invalid code one bit long, as zlib makes it (and as it
    // does, the code length code reads that as a zero length).
    if (max == 0) {
        std::fill(table, table + root_size, make_entry(K_INVALID, 0, 1));
        return true;
    }
    int left = 1;
    for (unsigned len = 1; len <= 15; ++len) {
        left <<= 1;
        left -= static_cast<int>(count[len]);
        if (left < 0) return false;
    }
    if (left > 0 && (code_length_code || max != 1)) return false;
    if (left > 0) std::fill(table, table + root_size, make_entry(K_INVALID, 0, 1));

    unsigned offset[16] = {};
    for (unsigned len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
    const unsigned total = offset[15] + count[15];
    std::uint16_t sorted[288];
    for (unsigned sym = 0; sym < n; ++sym) {
        if (lens[sym]) sorted[offset[lens[sym]]++] = static_cast<std::uint16_t>(sym);
    }

    // Codes are handed out in canonical order; `code` is the current one with its bits reversed
    // (deflate sends codes first bit first), advanced by a reversed increment.
    std::size_t used = root_size;
    std::size_t sub_start = 0;
    unsigned sub_bits = 0;
    std::size_t sub_prefix = root_size;  // none yet
    std::uint32_t code = 0;
    for (unsigned k = 0; k < total; ++k) {
        const unsigned sym = sorted[k];
        const unsigned len = lens[sym];
        if (len <= root) {
            const std::uint32_t e = symbols[sym] | len;
            for (std::size_t i = code; i < root_size; i += std::size_t{1} << len) table[i] = e;
        } else {
            const std::size_t prefix = code & (root_size - 1);
            if (prefix != sub_prefix) {
                // A new subtable, as wide as the codes still to come under this prefix need.
                sub_bits = len - root;
                int room = 1 << sub_bits;
                while (sub_bits + root < max) {
                    room -= static_cast<int>(count[sub_bits + root]);
                    if (room <= 0) break;
                    ++sub_bits;
                    room <<= 1;
                }
                sub_start = used;
                used += std::size_t{1} << sub_bits;
                if (used > cap) return false;
                table[prefix] = make_entry(K_LINK | sub_bits, static_cast<std::uint32_t>(sub_start), root);
                sub_prefix = prefix;
            }
            const std::uint32_t e = symbols[sym] | (len - root);
            for (std::size_t i = code >> root; i < (std::size_t{1} << sub_bits); i += std::size_t{1} << (len - root))
                table[sub_start + i] = e;
        }
        --count[len];
        std::uint32_t incr = 1u << (len - 1);
        while (code & incr) incr >>= 1;
        code = incr ? (code & (incr - 1)) + incr : 0;
    }
    return true;
}

// The entry of the code at the bottom of `bb` (its subtable's, for a code longer than the root),
// its bits consumed. The hot loop only: it trusts that the bits are there.
inline std::uint32_t next_entry(const std::uint32_t* table, unsigned root, std::uint64_t& bb, unsigned& bc) noexcept {
    std::uint32_t e = table[bb & low_bits(root)];
    if (entry_kind(e) == K_LINK) {
        bb >>= root;
        bc -= root;
        e = table[entry_value(e) + (bb & low_bits(entry_low(e)))];
    }
    bb >>= entry_len(e);
    bc -= entry_len(e);
    return e;
}

inline std::size_t extra_bits(unsigned n, std::uint64_t& bb, unsigned& bc) noexcept {
    const auto v = static_cast<std::size_t>(bb & low_bits(n));
    bb >>= n;
    bc -= n;
    return v;
}

std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

// Copies a match of `len` bytes from `dist` bytes back. May write up to 7 bytes past its end.
inline void copy_match(std::uint8_t* dst, std::size_t dist, std::size_t len) noexcept {
    const std::uint8_t* src = dst - dist;
    if (dist >= 8) {
        std::uint8_t* const end = dst + len;
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
    } else if (dist == 1) {
        std::memset(dst, *src, len);
    } else {
        for (std::size_t i = 0; i < len; ++i) dst[i] = src[i];
    }
}

}  // namespace

struct Inflater::Tables {
    std::uint32_t lit[LIT_CAP];
    std::uint32_t dist[DIST_CAP];
    std::uint32_t clen[std::size_t{1} << CLEN_ROOT];
    std::uint32_t fixed_lit[std::size_t{1} << LIT_ROOT];
    std::uint32_t fixed_dist[std::size_t{1} << DIST_ROOT];
    bool fixed_built = false;
    const std::uint32_t* cur_lit = nullptr;
    const std::uint32_t* cur_dist = nullptr;
    std::uint8_t lens[286 + 30];
};

Inflater::Inflater(std::unique_ptr<Input> input, std::size_t input_capacity)
    : input_(std::move(input)),
      inbuf_(new std::uint8_t[std::max(input_capacity, FAST_INPUT) + INPUT_PAD]),
      in_cap_(std::max(input_capacity, FAST_INPUT)),
      tables_(new Tables) {
    in_ = in_end_ = inbuf_.get();
}

Inflater::~Inflater() = default;

bool Inflater::finished() const noexcept { return state_ == State::Done; }

Result<void> Inflater::top_up() {
    if (input_done_) return {};
    const std::size_t keep = static_cast<std::size_t>(in_end_ - in_);
    std::memmove(inbuf_.get(), in_, keep);
    in_ = inbuf_.get();
    auto got = input_->read(inbuf_.get() + keep, in_cap_ - keep);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) input_done_ = true;
    in_end_ = inbuf_.get() + keep + *got;
    std::memset(inbuf_.get() + keep + *got, 0, INPUT_PAD);
    return {};
}

// Loads whole bytes into the bit buffer while it has room for them and input is buffered.
void Inflater::fill_bits() noexcept {
    while (bitcount_ < 56 && in_ < in_end_) {
        bitbuf_ |= std::uint64_t{*in_++} << bitcount_;
        bitcount_ += 8;
    }
}

// As fill_bits, reading more input when the buffer runs dry.
Result<void> Inflater::fill_checked() {
    fill_bits();
    while (bitcount_ < 56 && in_ == in_end_ && !input_done_) {
        if (auto t = top_up(); !t) return std::unexpected(t.error());
        fill_bits();
    }
    return {};
}

Result<std::uint32_t> Inflater::take(unsigned n) {
    while (bitcount_ < n) {
        if (in_ == in_end_) {
            if (auto t = top_up(); !t) return std::unexpected(t.error());
            if (in_ == in_end_) return truncated();
        }
        fill_bits();
    }
    const auto v = static_cast<std::uint32_t>(bitbuf_ & low_bits(n));
    bitbuf_ >>= n;
    bitcount_ -= n;
    return v;
}

// The checked loop's next_entry: the code is taken only when all of its bits are there.
Result<std::uint32_t> Inflater::checked_entry(const std::uint32_t* table, unsigned root) {
    QF_TRY(fill_checked());
    std::uint32_t e = table[bitbuf_ & low_bits(root)];
    unsigned used = 0;
    if (entry_kind(e) == K_LINK) {
        used = root;
        e = table[entry_value(e) + ((bitbuf_ >> root) & low_bits(entry_low(e)))];
    }
    used += entry_len(e);
    if (used > bitcount_) return truncated();
    bitbuf_ >>= used;
    bitcount_ -= used;
    return e;
}

Result<void> Inflater::block_header() {
    QF_TRY_SET(const std::uint32_t head, take(3));
    final_ = head & 1;
    switch (head >> 1) {
        case 0: {
            const unsigned skip = bitcount_ & 7;
            bitbuf_ >>= skip;
            bitcount_ -= skip;
            QF_TRY_SET(const std::uint32_t len, take(16));
            QF_TRY_SET(const std::uint32_t nlen, take(16));
            if (len != (~nlen & 0xFFFF)) return fail("invalid stored block lengths");
            stored_left_ = len;
            state_ = State::Stored;
            return {};
        }
        case 1: {
            Tables& t = *tables_;
            if (!t.fixed_built) {
                std::uint8_t lens[288];
                std::fill(lens, lens + 144, 8);
                std::fill(lens + 144, lens + 256, 9);
                std::fill(lens + 256, lens + 280, 7);
                std::fill(lens + 280, lens + 288, 8);
                build_table(lens, 288, LIT_SYMBOLS.data(), LIT_ROOT, false, t.fixed_lit, std::size(t.fixed_lit));
                std::fill(lens, lens + 32, 5);
                build_table(lens, 32, DIST_SYMBOLS.data(), DIST_ROOT, false, t.fixed_dist, std::size(t.fixed_dist));
                t.fixed_built = true;
            }
            t.cur_lit = t.fixed_lit;
            t.cur_dist = t.fixed_dist;
            state_ = State::Codes;
            return {};
        }
        case 2:
            QF_TRY(dynamic_tables());
            state_ = State::Codes;
            return {};
        default:
            return fail("invalid block type");
    }
}

Result<void> Inflater::dynamic_tables() {
    Tables& t = *tables_;
    QF_TRY_SET(const unsigned nlen, take(5));
    QF_TRY_SET(const unsigned ndist, take(5));
    QF_TRY_SET(const unsigned ncode, take(4));
    const unsigned lit_count = nlen + 257, dist_count = ndist + 1, clen_count = ncode + 4;
    if (lit_count > 286 || dist_count > 30) return fail("too many length or distance symbols");
    std::uint8_t clens[19] = {};
    for (unsigned i = 0; i < clen_count; ++i) {
        QF_TRY_SET(const std::uint32_t v, take(3));
        clens[CLEN_ORDER[i]] = static_cast<std::uint8_t>(v);
    }
    if (!build_table(clens, 19, CLEN_SYMBOLS.data(), CLEN_ROOT, true, t.clen, std::size(t.clen)))
        return fail("invalid code lengths set");

    const unsigned total = lit_count + dist_count;
    unsigned have = 0;
    while (have < total) {
        QF_TRY_SET(const std::uint32_t e, checked_entry(t.clen, CLEN_ROOT));
        const unsigned sym = entry_value(e);
        if (sym < 16) {
            t.lens[have++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        std::uint8_t len = 0;
        unsigned copies;
        if (sym == 16) {
            QF_TRY_SET(const std::uint32_t extra, take(2));
            if (have == 0) return fail("invalid bit length repeat");
            len = t.lens[have - 1];
            copies = 3 + extra;
        } else if (sym == 17) {
            QF_TRY_SET(const std::uint32_t extra, take(3));
            copies = 3 + extra;
        } else {
            QF_TRY_SET(const std::uint32_t extra, take(7));
            copies = 11 + extra;
        }
        if (have + copies > total) return fail("invalid bit length repeat");
        std::fill(t.lens + have, t.lens + have + copies, len);
        have += copies;
    }
    if (t.lens[256] == 0) return fail("invalid code -- missing end-of-block");
    if (!build_table(t.lens, lit_count, LIT_SYMBOLS.data(), LIT_ROOT, false, t.lit, LIT_CAP))
        return fail("invalid literal/lengths set");
    if (!build_table(t.lens + lit_count, dist_count, DIST_SYMBOLS.data(), DIST_ROOT, false, t.dist, DIST_CAP))
        return fail("invalid distances set");
    t.cur_lit = t.lit;
    t.cur_dist = t.dist;
    return {};
}

Result<std::size_t> Inflater::stored(std::uint8_t* out, std::size_t at, std::size_t cap) {
    const std::size_t limit = cap - MIN_ROOM;
    // What the bit buffer holds is whole bytes here (the header skipped to a byte boundary).
    while (stored_left_ && bitcount_ >= 8 && at <= limit) {
        out[at++] = static_cast<std::uint8_t>(bitbuf_);
        bitbuf_ >>= 8;
        bitcount_ -= 8;
        --stored_left_;
    }
    // The bytes at in_ come next; the copies of them in the bit buffer go with the bytes taken.
    if (bitcount_ == 0) bitbuf_ = 0;
    while (stored_left_ && at <= limit) {
        if (in_ == in_end_) {
            QF_TRY(top_up());
            if (in_ == in_end_) return truncated();
        }
        const std::size_t n = std::min({static_cast<std::size_t>(stored_left_), limit + 1 - at,
                                        static_cast<std::size_t>(in_end_ - in_)});
        std::memcpy(out + at, in_, n);
        in_ += n;
        at += n;
        stored_left_ -= static_cast<std::uint32_t>(n);
    }
    if (stored_left_ == 0) state_ = final_ ? State::Done : State::Header;
    return at;
}

Result<std::size_t> Inflater::codes(std::uint8_t* out, std::size_t at, std::size_t cap) {
    const Tables& t = *tables_;
    const std::uint32_t* const lit = t.cur_lit;
    const std::uint32_t* const dist = t.cur_dist;
    const std::size_t limit = cap - MIN_ROOM;
    // The total output at position x of `out` is x + base.
    const std::uint64_t base = total_out_ - at;
    std::uint64_t bb = bitbuf_;
    unsigned bc = bitcount_;
    const std::uint8_t* in = in_;
    auto save = [&] {
        bitbuf_ = bb;
        bitcount_ = bc;
        in_ = in;
    };
    auto load = [&] {
        bb = bitbuf_;
        bc = bitcount_;
        in = in_;
    };

    // The hot loop: every symbol decoded from one refill of the bit buffer (56 bits or more).
    while (at <= limit) {
        if (static_cast<std::size_t>(in_end_ - in) < FAST_INPUT) {
            if (input_done_) break;
            save();
            QF_TRY(top_up());
            load();
            continue;
        }
        bb |= load64(in) << bc;
        in += (63 - bc) >> 3;
        bc |= 56;
        const std::uint32_t e = next_entry(lit, LIT_ROOT, bb, bc);
        const unsigned kind = entry_kind(e);
        if (kind == K_LITERAL) {
            out[at++] = static_cast<std::uint8_t>(entry_value(e));
            // A second literal from the same refill (41 bits or more are left).
            const std::uint32_t e2 = lit[bb & low_bits(LIT_ROOT)];
            if (entry_kind(e2) == K_LITERAL) {
                bb >>= entry_len(e2);
                bc -= entry_len(e2);
                out[at++] = static_cast<std::uint8_t>(entry_value(e2));
            }
            continue;
        }
        if (kind == K_BASE) {
            const std::size_t length = entry_value(e) + extra_bits(entry_low(e), bb, bc);
            const std::uint32_t d = next_entry(dist, DIST_ROOT, bb, bc);
            if (entry_kind(d) != K_BASE) [[unlikely]] return fail("invalid distance code");
            const std::size_t distance = entry_value(d) + extra_bits(entry_low(d), bb, bc);
            if (distance > base + at) [[unlikely]] return fail("invalid distance too far back");
            copy_match(out + at, distance, length);
            at += length;
            continue;
        }
        if (kind == K_END) {
            save();
            total_out_ = base + at;
            state_ = final_ ? State::Done : State::Header;
            return at;
        }
        return fail("invalid literal/length code");
    }
    save();

    // The checked loop, for the last bytes of input: a symbol is taken only when all of its bits
    // are there; a stream cut inside one is truncated.
    while (at <= limit) {
        QF_TRY_SET(const std::uint32_t e, checked_entry(lit, LIT_ROOT));
        const unsigned kind = entry_kind(e);
        if (kind == K_LITERAL) {
            out[at++] = static_cast<std::uint8_t>(entry_value(e));
            continue;
        }
        if (kind == K_END) {
            total_out_ = base + at;
            state_ = final_ ? State::Done : State::Header;
            return at;
        }
        if (kind != K_BASE) return fail("invalid literal/length code");
        QF_TRY_SET(const std::uint32_t lbits, take(entry_low(e)));
        const std::size_t length = entry_value(e) + lbits;
        QF_TRY_SET(const std::uint32_t d, checked_entry(dist, DIST_ROOT));
        if (entry_kind(d) != K_BASE) return fail("invalid distance code");
        QF_TRY_SET(const std::uint32_t dbits, take(entry_low(d)));
        const std::size_t distance = entry_value(d) + dbits;
        if (distance > base + at) return fail("invalid distance too far back");
        copy_match(out + at, distance, length);
        at += length;
    }
    total_out_ = base + at;
    return at;
}

Result<std::size_t> Inflater::inflate(std::uint8_t* out, std::size_t at, std::size_t cap) {
    while (at + MIN_ROOM <= cap) {
        switch (state_) {
            case State::Done:
                return at;
            case State::Header:
                QF_TRY(block_header());
                break;
            case State::Stored: {
                const std::size_t start = at;
                QF_TRY_SET(at, stored(out, at, cap));
                total_out_ += at - start;
                break;
            }
            case State::Codes:
                QF_TRY_SET(at, codes(out, at, cap));
                break;
        }
    }
    return at;
}

// ---- CRC-32 -------------------------------------------------------------------------------

namespace {

// Slicing by eight: table k gives the CRC of a byte followed by k zero bytes, so that eight
// bytes are folded in with eight independent lookups.
constexpr std::array<std::array<std::uint32_t, 256>, 8> CRC_TABLES = [] {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (int k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    }
    return t;
}();

// The register form of the CRC (not inverted) over `size` bytes.
std::uint32_t crc_tables(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    const auto& t = CRC_TABLES;
    if constexpr (std::endian::native == std::endian::little) {
        while (size >= 8) {
            std::uint64_t w;
            std::memcpy(&w, data, 8);
            w ^= crc;
            crc = t[7][w & 0xFF] ^ t[6][(w >> 8) & 0xFF] ^ t[5][(w >> 16) & 0xFF] ^ t[4][(w >> 24) & 0xFF] ^
                  t[3][(w >> 32) & 0xFF] ^ t[2][(w >> 40) & 0xFF] ^ t[1][(w >> 48) & 0xFF] ^ t[0][w >> 56];
            data += 8;
            size -= 8;
        }
    }
    while (size--) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QF_CRC_CLMUL 1

// Carry-less multiplication folds the data into four 128-bit lanes, 64 bytes a step, then the
// lanes into one and that into 32 bits (Barrett reduction). The constants are powers of x modulo
// the CRC polynomial, bit-reflected as the CRC itself is: x^(4*128+32) and x^(4*128-32) fold a
// lane forward by 64 bytes, x^(128+32) and x^(128-32) by 16, x^64 takes 128 bits to 64, and the
// last pair is the polynomial and its Barrett quotient.
#define QF_CLMUL __attribute__((target("pclmul,sse4.1")))

QF_CLMUL inline __m128i load16(const std::uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// `lane` carried forward by the distance that `k` stands for, with `next` added in.
QF_CLMUL inline __m128i fold(__m128i lane, __m128i k, __m128i next) noexcept {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)),
                         next);
}

// The register form of the CRC over `size` bytes, a multiple of 16 and at least 64.
QF_CLMUL std::uint32_t crc_clmul(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    const __m128i by64 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by16 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i to64 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    __m128i a = _mm_xor_si128(load16(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i b = load16(data + 16), c = load16(data + 32), d = load16(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        a = fold(a, by64, load16(data));
        b = fold(b, by64, load16(data + 16));
        c = fold(c, by64, load16(data + 32));
        d = fold(d, by64, load16(data + 48));
    }
    a = fold(a, by16, b);
    a = fold(a, by16, c);
    a = fold(a, by16, d);
    for (; size >= 16; data += 16, size -= 16) a = fold(a, by16, load16(data));
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    a = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(a, by16, 0x10));
    a = _mm_xor_si128(_mm_srli_si128(a, 4), _mm_clmulepi64_si128(_mm_and_si128(a, low32), to64, 0x00));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(a, low32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(a, q), 1));
}

bool has_clmul() noexcept {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return has;
}
#endif

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    crc = ~crc;
#ifdef QF_CRC_CLMUL
    if (size >= 64 && has_clmul()) {
        const std::size_t whole = size & ~std::size_t{15};
        crc = crc_clmul(crc, data, whole);
        data += whole;
        size -= whole;
    }
#endif
    return ~crc_tables(crc, data, size);
}

}  // namespace qf::inflate
