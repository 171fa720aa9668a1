// The pull XML reader (see reader.hpp). The hot path is the start tag: it is parsed in one pass
// over what is buffered, with the zero padding after the buffer as the sentinel that stops every
// scan; only a tag that runs off the buffered bytes (or fails) pays for the quote-aware search of
// its end, which reads more input and decides between "unclosed tag" and the error found.
#include "xml/reader.hpp"

#include "xml/refs.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qf::xml {

namespace {

constexpr std::size_t NPOS = static_cast<std::size_t>(-1);
constexpr NsId DECL = static_cast<NsId>(-1);  // marks a namespace declaration while a tag is parsed
constexpr std::size_t LINEAR_DUP_LIMIT = 32;

std::unexpected<XmlError> fail(XmlError e) { return std::unexpected(std::move(e)); }

// Stamps the input offset on an error of a position-free helper (refs, names).
template <class T>
XmlResult<T> at(XmlResult<T> r, std::uint64_t offset) {
    if (!r) r.error().offset = offset;
    return r;
}

bool starts_with(const char* p, std::string_view s) noexcept { return std::memcmp(p, s.data(), s.size()) == 0; }

bool iequals_xml(std::string_view s) noexcept {
    return s.size() == 3 && (s[0] | 0x20) == 'x' && (s[1] | 0x20) == 'm' && (s[2] | 0x20) == 'l';
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

// A scanned name: where it ends and the union of the classes of its bytes.
struct NameScan {
    std::size_t end;
    std::uint8_t classes;
};

// Scans name bytes (and non-ASCII bytes, refused by name_error) from p; stops at the zero padding
// at the latest.
NameScan scan_name(const char* buf, std::size_t p) noexcept {
    std::uint8_t acc = 0;
    for (;;) {
        const std::uint8_t cls = CHAR_CLASS[static_cast<unsigned char>(buf[p])];
        if (!(cls & (C_NAME | C_NON_ASCII))) return {p, acc};
        acc |= cls;
        ++p;
    }
}

// The name rule for a scanned name starting at `start`; null when the name is good.
const char* name_error(const char* buf, std::size_t start, NameScan n, bool& unsupported) {
    unsupported = false;
    if (n.end == start) return "expected name";
    if (n.classes & C_NON_ASCII) {
        unsupported = true;
        return "non-ascii name";
    }
    if (!has_class(buf[start], C_NAME_START)) return "bad name";
    return nullptr;
}

std::size_t skip_ws(const char* buf, std::size_t p) noexcept {
    while (has_class(buf[p], C_WS)) ++p;
    return p;
}

std::size_t saturating_sub(std::size_t v, std::size_t d) noexcept { return v > d ? v - d : 0; }

// Where a stretch of skipped bytes in [from, n) may be cut so that no UTF-8 sequence straddles
// the cut: before a lead byte whose sequence is not complete by n, else n. Checking the pieces
// then gives the verdict that checking the whole stretch gives.
std::size_t char_cut(const char* b, std::size_t from, std::size_t n) noexcept {
    std::size_t i = n;
    while (i > from && n - i < 3 && (static_cast<unsigned char>(b[i - 1]) & 0xC0) == 0x80) --i;
    if (i == from) return n;
    const auto lead = static_cast<unsigned char>(b[i - 1]);
    const std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n - (i - 1) < len ? i - 1 : n;
}

// The character rule over a stretch that streams past in pieces cut by char_cut: the verdict of
// validate_chars over the whole, control bytes first, then UTF-8, then U+FFFE/U+FFFF.
class CharRule {
public:
    void feed(std::string_view piece) {
        std::uint8_t seen = 0;
        for (char c : piece) seen |= CHAR_CLASS[static_cast<unsigned char>(c)];
        ctrl_ |= (seen & C_CTRL) != 0;
        if ((seen & C_NON_ASCII) && !bad_utf8_) {
            if (auto ok = validate_utf8(piece); !ok) {
                if (std::strcmp(ok.error().text, "invalid utf-8") == 0) bad_utf8_ = true;
                else nonchar_ = true;
            }
        }
    }
    const char* error() const noexcept {
        if (ctrl_) return "invalid character";
        if (bad_utf8_) return "invalid utf-8";
        return nonchar_ ? "invalid character" : nullptr;
    }

private:
    bool ctrl_ = false, bad_utf8_ = false, nonchar_ = false;
};

// The reference and "]]>" rules of character data over pieces of a run: the first failing
// reference as validate_refs reports it, and whether "]]>" occurs.
class RunRule {
public:
    void feed(std::string_view piece) {
        for (char c : piece) {
            if (in_ref_) {
                if (c == ';') {
                    close_ref();
                } else {
                    if (name_len_ < sizeof(name_)) name_[name_len_] = c;
                    ++name_len_;
                }
            } else if (c == '&') {
                in_ref_ = true;
                name_len_ = 0;
            }
            if (c == ']') {
                brackets_ += brackets_ < 2;
            } else {
                cdata_end_ |= c == '>' && brackets_ == 2;
                brackets_ = 0;
            }
        }
    }
    // At the end of the run: the first reference error, else "]]>" in text, else null.
    const char* error() const noexcept {
        if (ref_error_) return ref_error_;
        if (in_ref_) return "bad reference";
        return cdata_end_ ? "]]> in text" : nullptr;
    }

private:
    void close_ref() {
        in_ref_ = false;
        if (ref_error_) return;
        if (name_len_ > sizeof(name_)) {
            // Longer than any name resolve_ref accepts; only its first byte decides the text.
            ref_error_ = name_[0] == '#' ? "bad char ref" : "undefined entity";
            return;
        }
        if (auto cp = resolve_ref(std::string_view(name_, name_len_)); !cp) ref_error_ = cp.error().text;
    }

    char name_[16];
    std::size_t name_len_ = 0;
    bool in_ref_ = false;
    const char* ref_error_ = nullptr;
    unsigned brackets_ = 0;
    bool cdata_end_ = false;
};

}  // namespace

// ---- ByteBuf ------------------------------------------------------------------------------

void ByteBuf::grow(std::size_t need) {
    std::size_t cap = cap_ ? cap_ : READ_CHUNK;
    while (cap < need) cap *= 2;
    reallocate(cap);
}

void ByteBuf::reallocate(std::size_t cap) {
    // Left unwritten past the padding: the pages of a large buffer that were never filled take
    // no memory (issue 24: zeroing all of it made one huge token cost twice its size at once).
    auto fresh = std::make_unique_for_overwrite<char[]>(cap + PAD);
    if (size_) std::memcpy(fresh.get(), data_.get(), size_);
    std::memset(fresh.get() + size_, 0, PAD);
    data_ = std::move(fresh);
    cap_ = cap;
}

void ByteBuf::shrink() {
    if (cap_ <= SHRINK_ABOVE || size_ > cap_ / 4) return;
    std::size_t cap = READ_CHUNK;
    while (cap < size_) cap *= 2;
    reallocate(cap);
}

void ByteBuf::append(std::string_view bytes) {
    if (size_ + bytes.size() > cap_) grow(size_ + bytes.size());
    std::memcpy(data_.get() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    std::memset(data_.get() + size_, 0, PAD);
}

void ByteBuf::erase_front(std::size_t n) noexcept {
    std::memmove(data_.get(), data_.get() + n, size_ - n);
    size_ -= n;
    std::memset(data_.get() + size_, 0, PAD);
}

// ---- Reader: input ------------------------------------------------------------------------

Reader::Reader(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {
    stack_.reserve(16);
    names_.reserve(256);
    attrs_.reserve(16);
}

void Reader::compact() {
    const std::size_t discard = dead_bytes();
    // PERF NOTE: only when a whole read's worth of bytes and half the buffer are dead, so a
    // large input is moved rarely and a long capture never.
    if (discard < READ_CHUNK || 2 * discard < buf_.size()) return;
    discard_front(discard);
    buf_.shrink();
}

void Reader::release() {
    if (!buf_.large()) return;
    discard_front(dead_bytes());
    buf_.shrink();
}

std::size_t Reader::dead_bytes() const noexcept {
    return capture_ && *capture_ < pos_ ? *capture_ : pos_;
}

void Reader::discard_front(std::size_t discard) noexcept {
    buf_.erase_front(discard);
    base_ += discard;
    pos_ -= discard;
    if (capture_) *capture_ -= discard;
    tag_start_ = saturating_sub(tag_start_, discard);
    tag_end_ = saturating_sub(tag_end_, discard);
    local_start_ = saturating_sub(local_start_, discard);
    local_end_ = saturating_sub(local_end_, discard);
    text_start_ = saturating_sub(text_start_, discard);
    text_end_ = saturating_sub(text_end_, discard);
}

XmlResult<bool> Reader::more() {
    if (eof_) return false;
    compact();
    QF_TRY_SET(std::string_view chunk, source_->read());
    if (chunk.empty()) {
        eof_ = true;
        return false;
    }
    buf_.append(chunk);
    return true;
}

XmlResult<bool> Reader::ensure(std::size_t n) {
    while (buf_.size() - pos_ < n) {
        QF_TRY_SET(bool got, more());
        if (!got) return false;
    }
    return true;
}

XmlResult<std::size_t> Reader::find_from(std::size_t from, std::string_view needle) {
    for (;;) {
        const std::size_t avail = buf_.size() - pos_;
        if (from < avail) {
            const std::string_view hay(buf_.data() + pos_ + from, avail - from);
            const std::size_t at = hay.find(needle);
            if (at != std::string_view::npos) return from + at;
        }
        // Resume where a match could still start once more bytes arrive.
        const std::size_t keep = needle.size() - 1;
        from = std::max(from, avail > keep ? avail - keep : 0);
        QF_TRY_SET(bool got, more());
        if (!got) return NPOS;
    }
}

XmlResult<std::size_t> Reader::find_tag_end() {
    std::size_t i = 1;
    char quote = 0;
    for (;;) {
        const char* b = buf_.data() + pos_;
        const std::size_t avail = buf_.size() - pos_;
        for (; i < avail; ++i) {
            const char c = b[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return i;
            }
        }
        QF_TRY_SET(bool got, more());
        if (!got) return NPOS;
    }
}

// ---- Reader: document start ---------------------------------------------------------------

XmlResult<void> Reader::start_document() {
    started_ = true;
    QF_TRY(ensure(4));
    const std::size_t avail = buf_.size() - pos_;
    const auto* b = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
    if (avail >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        pos_ += 3;
    } else if ((avail >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) ||
               (avail >= 1 && b[0] == 0) || (avail >= 2 && b[1] == 0)) {
        return fail(unsupported("utf-16"));
    }
    QF_TRY_SET(bool have, ensure(6));
    const char* p = buf_.data() + pos_;
    if (!have || !starts_with(p, "<?xml") || !(is_ws(p[5]) || p[5] == '?')) return {};
    QF_TRY_SET(std::size_t close, find_from(5, "?>"));
    if (close == NPOS) return fail(malformed("unclosed decl"));
    QF_TRY(check_declaration(view(pos_ + 5, pos_ + close)));
    pos_ += close + 2;
    return {};
}

XmlResult<void> Reader::check_declaration(std::string_view body) const {
    enum { NONE, VERSION, ENCODING, STANDALONE } last = NONE;
    std::size_t i = 0;
    const std::size_t n = body.size();
    auto skip = [&] { while (i < n && is_ws(body[i])) ++i; };
    for (;;) {
        const std::size_t ws_start = i;
        skip();
        if (i == n) {
            if (last == NONE) return fail(malformed("bad decl"));
            return {};
        }
        if (i == ws_start) return fail(malformed("bad decl"));
        const std::size_t name_start = i;
        while (i < n && is_ascii_letter(body[i])) ++i;
        const std::string_view name = body.substr(name_start, i - name_start);
        skip();
        if (i == n || body[i] != '=') return fail(malformed("bad decl"));
        ++i;
        skip();
        if (i == n || (body[i] != '"' && body[i] != '\'')) return fail(malformed("bad decl"));
        const char quote = body[i++];
        const std::size_t close = body.find(quote, i);
        if (close == std::string_view::npos) return fail(malformed("bad decl"));
        const std::string_view value = body.substr(i, close - i);
        i = close + 1;
        if (name == "version" && last == NONE) {
            if (value != "1.0") return fail(unsupported("xml version"));
            last = VERSION;
        } else if (name == "encoding" && last == VERSION) {
            if (ascii_lower(value) != "utf-8") return fail(unsupported("encoding"));
            last = ENCODING;
        } else if (name == "standalone" && (last == VERSION || last == ENCODING)) {
            if (value != "yes" && value != "no") return fail(malformed("bad standalone"));
            last = STANDALONE;
        } else {
            return fail(malformed("bad decl"));
        }
    }
}

// ---- Reader: the pull loop ----------------------------------------------------------------

XmlResult<XmlEvent> Reader::pull(bool want_text) {
    if (pending_end_) {
        pending_end_ = false;
        pop_element();
        return XmlEvent::End;
    }
    if (!started_) [[unlikely]] QF_TRY(start_document());
    for (;;) {
        if (pos_ >= buf_.size()) {
            QF_TRY_SET(bool got, more());
            if (got) continue;
            if (!stack_.empty()) return fail(malformed("unclosed element"));
            if (root_seen_) return XmlEvent::Eof;
            return fail(malformed("no element found"));
        }
        if (buf_[pos_] != '<') {
            // PERF NOTE: runs outside the root and runs nobody reads stream past unbuffered.
            if (!want_text || stack_.empty()) {
                QF_TRY(skip_run());
                continue;
            }
            QF_TRY(text_run());
            return XmlEvent::Text;
        }
        if (pos_ + 1 >= buf_.size()) {
            QF_TRY_SET(bool have, ensure(2));
            if (!have) return fail(malformed("unclosed token"));
        }
        switch (buf_[pos_ + 1]) {
            case '/':
                return end_tag();
            case '!': {
                QF_TRY_SET(bool is_event, markup_decl(want_text));
                if (is_event) return XmlEvent::Text;
                continue;
            }
            case '?':
                QF_TRY(processing_instruction());
                continue;
            default:
                return start_tag();
        }
    }
}

XmlResult<void> Reader::text_run() {
    std::size_t from = 0;
    std::size_t len;
    // PERF NOTE: most runs are a few digits between tags; look at them in place before memchr.
    {
        const char* run = buf_.data() + pos_;
        const std::size_t avail = buf_.size() - pos_;
        const std::size_t quick = avail < 24 ? avail : 24;
        std::size_t i = 0;
        while (i < quick && run[i] != '<') ++i;
        from = i;
    }
    for (;;) {
        const std::size_t avail = buf_.size() - pos_;
        const void* lt = from < avail && buf_[pos_ + from] == '<'
                             ? buf_.data() + pos_ + from
                             : std::memchr(buf_.data() + pos_ + from, '<', avail - from);
        if (lt) {
            len = static_cast<std::size_t>(static_cast<const char*>(lt) - (buf_.data() + pos_));
            break;
        }
        from = avail;
        QF_TRY_SET(bool got, more());
        if (!got) {
            len = buf_.size() - pos_;
            break;
        }
    }
    const char* run = buf_.data() + pos_;
    // One pass gathers what the run needs; the checks then run in the order the rules give them.
    std::uint8_t seen = 0;
    bool ctrl = false, cr = false, amp = false, bracket = false;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const std::uint64_t w = load8(run + i);
        if (!(swar_lt_or_high(w, 0x20) | swar_eq(w, '&') | swar_eq(w, ']'))) continue;
        for (std::size_t k = i; k < i + 8; ++k) seen |= CHAR_CLASS[static_cast<unsigned char>(run[k])];
        for (std::size_t k = i; k < i + 8; ++k) {
            cr |= run[k] == '\r';
            amp |= run[k] == '&';
            bracket |= run[k] == ']';
        }
    }
    for (; i < len; ++i) {
        const std::uint8_t cls = CHAR_CLASS[static_cast<unsigned char>(run[i])];
        if (!(cls & C_TEXT_SPECIAL)) continue;
        seen |= cls;
        cr |= run[i] == '\r';
        amp |= run[i] == '&';
        bracket |= run[i] == ']';
    }
    ctrl = seen & C_CTRL;
    const std::string_view text(run, len);
    if (ctrl) return fail(malformed("invalid character"));
    if (seen & C_NON_ASCII) QF_TRY(at(validate_utf8(text), offset()));
    if (amp) QF_TRY(at(validate_refs(text), offset()));
    if (bracket && text.find("]]>") != std::string_view::npos) return fail(malformed("]]> in text"));
    text_start_ = pos_;
    text_end_ = pos_ + len;
    text_cdata_ = false;
    text_raw_ = amp || cr;
    pos_ += len;
    return {};
}

XmlResult<void> Reader::skip_run() {
    // Errors are stamped with the run's start, as text_run stamps them, whatever was dropped since.
    const std::uint64_t start = offset();
    const bool outside = stack_.empty();
    bool junk = false;
    CharRule chars;
    RunRule run;
    for (;;) {
        const char* b = buf_.data();
        const std::size_t n = buf_.size();
        const void* lt = std::memchr(b + pos_, '<', n - pos_);
        const std::size_t cut = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - b) : char_cut(b, pos_, n);
        const std::string_view piece(b + pos_, cut - pos_);
        if (outside) {
            for (char c : piece) junk |= !is_ws(c);
        } else {
            chars.feed(piece);
            run.feed(piece);
        }
        pos_ = cut;
        if (lt) break;
        QF_TRY_SET(bool got, more());
        if (!got) {
            // An incomplete character at the very end: the whole run is checked, as text_run does.
            const std::string_view rest = view(pos_, buf_.size());
            if (outside) {
                for (char c : rest) junk |= !is_ws(c);
            } else {
                chars.feed(rest);
                run.feed(rest);
            }
            pos_ = buf_.size();
            break;
        }
    }
    if (junk) return fail(XmlError::malformed("junk outside root", start));
    if (const char* e = chars.error()) return fail(XmlError::malformed(e, start));
    if (const char* e = run.error()) return fail(XmlError::malformed(e, start));
    return {};
}

XmlResult<bool> Reader::markup_decl(bool want_text) {
    QF_TRY_SET(bool have4, ensure(4));
    if (have4 && starts_with(buf_.data() + pos_, "<!--")) {
        QF_TRY(skip_comment());
        return false;
    }
    QF_TRY_SET(bool have9, ensure(9));
    if (have9 && starts_with(buf_.data() + pos_, "<![CDATA[")) {
        if (stack_.empty()) return fail(malformed("cdata outside root"));
        if (!want_text) {
            QF_TRY(skip_cdata());
            return false;
        }
        QF_TRY_SET(std::size_t close, find_from(9, "]]>"));
        if (close == NPOS) return fail(malformed("unclosed cdata"));
        const std::string_view body = view(pos_ + 9, pos_ + close);
        QF_TRY(at(validate_chars(body), offset()));
        text_start_ = pos_ + 9;
        text_end_ = pos_ + close;
        text_cdata_ = true;
        text_raw_ = body.find('\r') != std::string_view::npos;
        pos_ += close + 3;
        return true;
    }
    if (have9 && starts_with(buf_.data() + pos_, "<!DOCTYPE")) return fail(unsupported("doctype"));
    return fail(malformed("bad markup declaration"));
}

template <class Scan, class Feed>
XmlResult<bool> Reader::stream_past(std::size_t skip, Scan& scan, Feed& feed) {
    pos_ += skip;
    for (;;) {
        const char* b = buf_.data();
        const std::size_t cut = char_cut(b, pos_, buf_.size());
        const std::string_view piece(b + pos_, cut - pos_);
        if (const std::size_t used = scan(piece); used != NPOS) {
            feed(piece.substr(0, used));
            pos_ += used;
            return true;
        }
        feed(piece);
        pos_ = cut;
        QF_TRY_SET(bool got, more());
        if (!got) return false;
    }
}

XmlResult<void> Reader::skip_comment() {
    // Comments never make events: they stream past in pieces, so a long one costs no memory.
    // The verdicts and their order are those of the whole comment: unclosed, then "--" inside
    // (the first "--" must be the one of "-->"), then the character rule; offsets are its start.
    const std::uint64_t start = offset();
    unsigned dashes = 0;
    bool double_dash = false;
    auto scan = [&](std::string_view piece) {
        for (std::size_t i = 0; i < piece.size(); ++i) {
            const char c = piece[i];
            if (dashes >= 2) {
                if (c == '>') return i + 1;
                double_dash = true;
            }
            dashes = c == '-' ? dashes + (dashes < 2) : 0;
        }
        return NPOS;
    };
    CharRule chars;
    auto feed = [&](std::string_view piece) { chars.feed(piece); };
    QF_TRY_SET(bool closed, stream_past(4, scan, feed));
    if (!closed) return fail(XmlError::malformed("unclosed comment", start));
    if (double_dash) return fail(XmlError::malformed("-- in comment", start));
    if (const char* e = chars.error()) return fail(XmlError::malformed(e, start));
    return {};
}

XmlResult<void> Reader::skip_cdata() {
    const std::uint64_t start = offset();
    unsigned brackets = 0;
    auto scan = [&](std::string_view piece) {
        for (std::size_t i = 0; i < piece.size(); ++i) {
            const char c = piece[i];
            if (c == '>' && brackets == 2) return i + 1;
            brackets = c == ']' ? brackets + (brackets < 2) : 0;
        }
        return NPOS;
    };
    CharRule chars;
    auto feed = [&](std::string_view piece) { chars.feed(piece); };
    QF_TRY_SET(bool closed, stream_past(9, scan, feed));
    if (!closed) return fail(XmlError::malformed("unclosed cdata", start));
    if (const char* e = chars.error()) return fail(XmlError::malformed(e, start));
    return {};
}

XmlResult<void> Reader::processing_instruction() {
    QF_TRY_SET(std::size_t close, find_from(2, "?>"));
    if (close == NPOS) return fail(malformed("unclosed pi"));
    const char* b = buf_.data();
    std::size_t t = pos_ + 2;
    while (has_class(b[t], C_PI_TARGET)) ++t;
    const std::string_view target = view(pos_ + 2, t);
    if (target.empty() || !has_class(target[0], C_NAME_START) || (t != pos_ + close && !is_ws(b[t])))
        return fail(malformed("bad pi"));
    if (iequals_xml(target)) return fail(malformed("misplaced xml declaration"));
    if (target.find(':') != std::string_view::npos) return fail(malformed("colon in pi target"));
    QF_TRY(at(validate_chars(view(pos_, pos_ + close + 2)), offset()));
    pos_ += close + 2;
    return {};
}

// ---- Reader: tags -------------------------------------------------------------------------

XmlResult<XmlEvent> Reader::end_tag() {
    // PERF NOTE: the common "</name>" is checked in place; only an end tag that is not all
    // buffered, or has something after its name, pays for the search of its ">".
    std::size_t gt = 0;
    NameScan n = scan_name(buf_.data(), pos_ + 2);
    if (n.end < buf_.size() && buf_[n.end] == '>') {
        gt = n.end;
    } else {
        QF_TRY_SET(std::size_t close, find_from(2, ">"));
        if (close == NPOS) return fail(malformed("unclosed end tag"));
        gt = pos_ + close;
        n = scan_name(buf_.data(), pos_ + 2);
    }
    const char* b = buf_.data();
    const std::size_t name_start = pos_ + 2;
    bool unsup = false;
    if (const char* e = name_error(b, name_start, n, unsup)) return fail(unsup ? unsupported(e) : malformed(e));
    if (skip_ws(b, n.end) != gt) return fail(malformed("bad end tag"));
    const std::string_view name = view(name_start, n.end);
    if (n.classes & C_COLON) QF_TRY(at(split_qname(name), offset()));
    if (stack_.empty()) return fail(malformed("mismatched tag"));
    const Open& top = stack_.back();
    if (top.name_len != name.size() || !same_bytes(names_.data() + top.names_off, name.data(), name.size()))
        return fail(malformed("mismatched tag"));
    ns_ = top.ns;
    local_start_ = name_start + top.local_off;
    local_end_ = n.end;
    tag_start_ = pos_;
    tag_end_ = gt + 1;
    pos_ = gt + 1;
    pop_element();
    return XmlEvent::End;
}

void Reader::pop_element() noexcept {
    const Open top = stack_.back();
    stack_.pop_back();
    names_.resize(top.names_off);
    if (top.bindings) {
        bindings_.resize(bindings_.size() - top.bindings);
        default_ns_ = lookup_prefix(bindings_, "").value_or(NS_NONE);
    }
    if (stack_.empty()) root_closed_ = true;
}

XmlResult<XmlEvent> Reader::start_tag() {
    if (root_closed_) return fail(malformed("junk after document element"));
    XmlError error;
    TagEnd end;
    TagParse r = parse_start_tag(buf_.size(), false, error, end);
    if (r == TagParse::Done) [[likely]] return finish_start_tag(end);
    // The tag runs off the buffered bytes, or failed: an unclosed tag wins over any error
    // inside it, and otherwise the complete tag is parsed once more (linear in its length).
    QF_TRY_SET(std::size_t close, find_tag_end());
    if (close == NPOS) return fail(malformed("unclosed tag"));
    if (r == TagParse::Failed) return fail(std::move(error));
    r = parse_start_tag(pos_ + close + 1, true, error, end);
    if (r != TagParse::Done) return fail(std::move(error));
    return finish_start_tag(end);
}

Reader::TagParse Reader::parse_start_tag(std::size_t limit, bool complete, XmlError& error, TagEnd& end) {
    const char* b = buf_.data();
    // Running into `limit` means the tag is not all buffered yet (optimistic pass), except for an
    // attribute value in a complete tag, whose closing quote is missing.
    const auto off_end = [&](const char* what) {
        if (!complete) return TagParse::Incomplete;
        error = malformed(what);
        return TagParse::Failed;
    };
    const auto failed = [&](XmlError e) {
        error = std::move(e);
        error.offset = offset();
        return TagParse::Failed;
    };
    const std::size_t name_start = pos_ + 1;
    const NameScan tag_name = scan_name(b, name_start);
    std::size_t p = tag_name.end;
    if (p >= limit) return off_end("unclosed tag");
    bool unsup = false;
    if (const char* e = name_error(b, name_start, tag_name, unsup)) return failed(unsup ? unsupported(e) : malformed(e));
    end.name_end = p;
    end.prefix_len = 0;
    if (tag_name.classes & C_COLON) {
        auto qname = split_qname(view(name_start, p));
        if (!qname) return failed(std::move(qname.error()));
        end.prefix_len = qname->prefix.size();
    }

    attrs_.clear();
    bool prefixed = false;
    std::size_t decls = 0;
    for (;;) {
        const std::size_t ws_start = p;
        p = skip_ws(b, p);
        if (p >= limit) return off_end("unclosed tag");
        if (b[p] == '>') {
            end.gt = p;
            end.self_closing = false;
            break;
        }
        if (b[p] == '/' && p + 1 >= limit) return off_end("unclosed tag");  // "/" then maybe ">"
        if (b[p] == '/' && b[p + 1] == '>') {
            end.gt = p + 1;
            end.self_closing = true;
            break;
        }
        if (p == ws_start) return failed(malformed("missing whitespace between attributes"));
        Attr a;
        a.name_start = p;
        const NameScan attr_name = scan_name(b, p);
        p = attr_name.end;
        if (p >= limit) return off_end("unclosed tag");
        if (const char* e = name_error(b, a.name_start, attr_name, unsup)) return failed(unsup ? unsupported(e) : malformed(e));
        a.name_end = p;
        const std::string_view name = view(a.name_start, a.name_end);
        std::string_view attr_prefix;
        if (attr_name.classes & C_COLON) {
            auto split = split_qname(name);
            if (!split) return failed(std::move(split.error()));
            attr_prefix = split->prefix;
        }
        a.local_end = p;
        a.local_start = attr_prefix.empty() ? a.name_start : a.name_start + attr_prefix.size() + 1;
        p = skip_ws(b, p);
        if (p >= limit) return off_end("unclosed tag");
        if (b[p] != '=') return failed(malformed("expected ="));
        p = skip_ws(b, p + 1);
        if (p >= limit) return off_end("unclosed tag");
        const char quote = b[p];
        if (quote != '"' && quote != '\'') return failed(malformed("expected quote"));
        a.value_start = ++p;
        std::uint8_t seen = 0;
        bool lt = false, amp = false;
        for (;;) {
            while (!has_class(b[p], C_VALUE_STOP)) ++p;
            if (p >= limit) return off_end("unterminated attribute");
            const char c = b[p];
            if (c == quote) break;
            seen |= CHAR_CLASS[static_cast<unsigned char>(c)];
            lt |= c == '<';
            amp |= c == '&';
            ++p;
        }
        a.value_end = p++;
        const std::string_view value = view(a.value_start, a.value_end);
        if (lt) return failed(malformed("< in attribute"));
        if (seen & C_CTRL) return failed(malformed("invalid character"));
        if (seen & C_NON_ASCII) {
            if (auto ok = validate_utf8(value); !ok) return failed(std::move(ok.error()));
        }
        if (amp) {
            if (auto ok = validate_refs(value); !ok) return failed(std::move(ok.error()));
        }
        // Tab, line feed and carriage return are below 20 and so in `seen` only through C_WS.
        a.raw = amp || (seen & C_WS);
        // Duplicate raw names, in document order: a linear check for the usual handful of
        // attributes, a hash set past LINEAR_DUP_LIMIT.
        if (attrs_.size() < LINEAR_DUP_LIMIT) {
            for (const Attr& other : attrs_) {
                if (same_bytes(view(other.name_start, other.name_end), name)) return failed(malformed("duplicate attribute"));
            }
        } else {
            if (attrs_.size() == LINEAR_DUP_LIMIT) {
                seen_names_.clear();
                for (const Attr& other : attrs_) seen_names_.insert(view(other.name_start, other.name_end));
            }
            if (!seen_names_.insert(name).second) return failed(malformed("duplicate attribute"));
        }
        const bool decl = attr_prefix.empty() ? same_bytes(name, "xmlns") : same_bytes(attr_prefix, "xmlns");
        a.ns = decl ? DECL : NS_NONE;
        decls += decl;
        prefixed |= !decl && !attr_prefix.empty();
        attrs_.push_back(a);
    }
    end.prefixed_attrs = prefixed;
    end.declarations = decls != 0;
    return TagParse::Done;
}

XmlResult<XmlEvent> Reader::finish_start_tag(const TagEnd& end) {
    pending_.clear();
    if (!end.declarations && !end.prefixed_attrs && !end.prefix_len) [[likely]]
        return push_element(end, default_ns_);
    // Namespace declarations, in attribute order; they leave the attribute list.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < attrs_.size(); ++i) {
        const Attr& a = attrs_[i];
        if (a.ns != DECL) {
            attrs_[kept++] = a;
            continue;
        }
        const bool is_default = a.local_start == a.name_start;  // "xmlns" itself
        const std::string_view prefix = is_default ? std::string_view{} : view(a.local_start, a.local_end);
        const std::string_view uri = a.raw ? decode_attr(view(a.value_start, a.value_end), scratch_)
                                           : view(a.value_start, a.value_end);
        if (prefix == "xmlns") return fail(malformed("xmlns prefix"));
        if (prefix == "xml") {
            if (uri != XML_NS_URI) return fail(malformed("xml prefix"));
        } else if (uri == XML_NS_URI || uri == XMLNS_NS_URI) {
            return fail(malformed("reserved namespace"));
        } else if (!is_default && uri.empty()) {
            return fail(malformed("empty prefixed namespace"));
        }
        // The package's parser joins URI and local name with "}" and so rejects a URI holding
        // one; accepting it here would give a result where the pure-Python path fails.
        if (uri.find('}') != std::string_view::npos) return fail(unsupported("brace in namespace"));
        pending_.push_back(Binding{std::string(prefix), uris_.intern_uri(uri)});
    }
    attrs_.resize(kept);

    // Prefixes resolve with the tag's own declarations in scope (they are innermost).
    const auto resolve = [&](std::string_view prefix) -> std::optional<NsId> {
        if (prefix == "xml") return NS_XML;
        for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
            if (it->prefix == prefix) return it->id;
        }
        if (prefix.empty()) return default_ns_;
        return lookup_prefix(bindings_, prefix);
    };
    const std::size_t name_start = pos_ + 1;
    const std::string_view prefix = end.prefix_len ? view(name_start, name_start + end.prefix_len) : std::string_view{};
    const std::optional<NsId> ns = (prefix.empty() && pending_.empty()) ? std::optional<NsId>(default_ns_) : resolve(prefix);
    if (!ns) return fail(malformed("unbound prefix"));
    if (end.prefixed_attrs) {
        for (Attr& a : attrs_) {
            if (a.local_start == a.name_start) continue;
            const std::optional<NsId> id = resolve(view(a.name_start, a.local_start - 1));
            if (!id || *id == NS_NONE) return fail(malformed("unbound prefix"));
            a.ns = *id;
        }
        // Two prefixes bound to one URI make the same expanded name.
        if (attrs_.size() <= LINEAR_DUP_LIMIT) {
            for (std::size_t i = 0; i < attrs_.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (attrs_[i].ns == attrs_[j].ns && attr_local(attrs_[i]) == attr_local(attrs_[j]))
                        return fail(malformed("duplicate attribute"));
                }
            }
        } else {
            std::vector<std::pair<NsId, std::string_view>> names;
            names.reserve(attrs_.size());
            for (const Attr& a : attrs_) names.emplace_back(a.ns, attr_local(a));
            std::sort(names.begin(), names.end());
            if (std::adjacent_find(names.begin(), names.end()) != names.end())
                return fail(malformed("duplicate attribute"));
        }
    }

    return push_element(end, *ns);
}

XmlResult<XmlEvent> Reader::push_element(const TagEnd& end, NsId ns) {
    // Nothing before this changed the reader's state except the URI table.
    const char* b = buf_.data();
    const std::size_t name_start = pos_ + 1;
    // Open names and their offsets are kept in 32 bits; a document whose open names pass 4 GiB
    // is beyond what the engine reproduces, not something to wrap around.
    if (end.name_end - name_start + names_.size() > UINT32_MAX || pending_.size() > UINT32_MAX) {
        return fail(unsupported("open element names too long"));
    }
    const std::uint32_t name_len = static_cast<std::uint32_t>(end.name_end - name_start);
    stack_.push_back(Open{static_cast<std::uint32_t>(names_.size()), name_len,
                          static_cast<std::uint32_t>(end.prefix_len ? end.prefix_len + 1 : 0),
                          static_cast<std::uint32_t>(pending_.size()), ns});
    names_.append(b + name_start, name_len);
    if (!pending_.empty()) {
        for (Binding& binding : pending_) bindings_.push_back(std::move(binding));
        default_ns_ = lookup_prefix(bindings_, "").value_or(NS_NONE);
    }
    root_seen_ = true;
    ns_ = ns;
    local_start_ = name_start + stack_.back().local_off;
    local_end_ = end.name_end;
    tag_start_ = pos_;
    tag_end_ = end.gt + 1;
    pos_ = end.gt + 1;
    if (end.self_closing) {
        pending_end_ = true;
        return XmlEvent::Empty;
    }
    return XmlEvent::Start;
}

// ---- Reader: accessors --------------------------------------------------------------------

std::string_view Reader::open_name() const noexcept {
    if (stack_.empty()) return {};
    const Open& top = stack_.back();
    return std::string_view(names_).substr(top.names_off, top.name_len);
}

std::string_view Reader::attr_value(const Attr& a, std::string& scratch) const {
    const std::string_view raw = attr_raw_value(a);
    return a.raw ? decode_attr(raw, scratch) : raw;
}

std::string Reader::attr_key(const Attr& a) const {
    if (a.ns == NS_NONE) return std::string(attr_local(a));
    return expanded_key(uris_.uri(a.ns), attr_local(a));
}

const Attr* Reader::find_attr(NsId ns, std::string_view local) const noexcept {
    for (const Attr& a : attrs_) {
        if (a.ns == ns && attr_local(a) == local) return &a;
    }
    return nullptr;
}

std::string_view Reader::text_str(std::string& scratch) const {
    const std::string_view raw = text_raw();
    return text_raw_ ? decode_text(raw, text_cdata_, scratch) : raw;
}

std::string_view Reader::end_capture() noexcept {
    const std::size_t start = capture_.value_or(tag_end_);
    capture_.reset();
    return view(start, tag_end_);
}

std::vector<std::pair<std::string_view, std::string_view>> Reader::in_scope_namespaces() const {
    std::vector<std::pair<std::string_view, std::string_view>> out;
    for (const Binding& binding : bindings_) {
        const std::string_view uri = uris_.uri(binding.id);
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& pair) { return pair.first == binding.prefix; });
        if (it != out.end()) {
            it->second = uri;
        } else {
            out.emplace_back(binding.prefix, uri);
        }
    }
    return out;
}

}  // namespace qf::xml
