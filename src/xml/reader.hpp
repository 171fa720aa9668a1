// The pull XML reader: cuts a byte stream into start, end and text events over one growing
// buffer, checks well-formedness as it goes, resolves namespaces to ids and hands out raw byte
// ranges; nothing is decoded until a consumer asks (text_str, attr_value). Strict by design:
// whatever a conforming parser would reject is Malformed, whatever is well-formed but beyond what
// the engine reproduces (other encodings, versions, DOCTYPE, non-ASCII names) is Unsupported.
//
// Typical use:
//     Reader r(std::make_unique<MemorySource>(bytes));
//     for (;;) {
//         QF_TRY_SET(XmlEvent ev, r.next());
//         if (ev == XmlEvent::Start && r.ns() == NS_MAIN && r.local() == "row") ...
//         if (ev == XmlEvent::Eof) break;
//     }
//
// Validity of views: every std::string_view and index handed out refers to the buffer and stays
// valid until the next call of next() or more(). more() may discard the bytes before pos() (or
// before the capture start while a capture is active) and then lowers pos(), the capture start
// and the current tag range by the same amount; indices taken relative to pos() stay meaningful.
#pragma once

#include "core/error.hpp"
#include "xml/chars.hpp"
#include "xml/names.hpp"
#include "xml/source.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qf::xml {

enum class XmlEvent : std::uint8_t {
    Start,  // <name ...>: current element and attributes are set
    Empty,  // <name .../>: as Start; the next call yields its End without reading input
    End,    // </name>, or the end of an Empty element: current element is set
    Text,   // a run of character data (never split) or one CDATA section: current text is set
    Eof,    // the document ended after its root element; repeated on later calls
};

// One attribute of the current start tag (namespace declarations are not listed). Positions are
// buffer indices, valid until the next next() or more().
struct Attr {
    NsId ns;                  // 0 when unprefixed, else the id bound to the prefix
    std::size_t name_start, name_end;    // the raw qualified name
    std::size_t local_start, local_end;  // the local part
    std::size_t value_start, value_end;  // between the quotes, undecoded
    bool raw;                 // holds "&", tab, line feed or carriage return: decode before use
};

// A growing byte buffer that keeps PAD zero bytes after its end, so scans can stop on a sentinel
// and read a word past the last byte without bound checks.
class ByteBuf {
public:
    static constexpr std::size_t PAD = 64;
    ByteBuf() { grow(READ_CHUNK); }
    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    char operator[](std::size_t i) const noexcept { return data_[i]; }
    void append(std::string_view bytes);
    void erase_front(std::size_t n) noexcept;
    // Gives memory back after a long token: a buffer past SHRINK_ABOVE bytes that is at most a
    // quarter full is made just large enough again.
    void shrink();
    bool large() const noexcept { return cap_ > SHRINK_ABOVE; }

private:
    static constexpr std::size_t SHRINK_ABOVE = 16 * READ_CHUNK;
    void grow(std::size_t need);
    void reallocate(std::size_t cap);
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

class Reader {
public:
    explicit Reader(std::unique_ptr<ByteSource> source);

    // The pull step: the next event, or the first offence in document order.
    [[nodiscard]] XmlResult<XmlEvent> next() { return pull(true); }
    // The same for consumers that ignore character data: text runs and CDATA sections are checked
    // as they stream past and dropped, never buffered whole, and yield no Text event. Errors
    // (text, kind and offset) are those next() gives for the same input.
    [[nodiscard]] XmlResult<XmlEvent> next_tag() { return pull(false); }

    // Pulls one more chunk from the source into the buffer (compacting first); false at the end of
    // input. For consumers that scan ahead in the raw buffer.
    [[nodiscard]] XmlResult<bool> more();
    // Discards the bytes before pos() (or the capture start) now, and frees the memory of a
    // buffer that a long token made large: called between items, so that a huge value is not
    // held in the buffer while its Python object is made. Views and indices as after more().
    void release();
    // Makes at least n bytes available from pos(); false when the input ends before that.
    [[nodiscard]] XmlResult<bool> ensure(std::size_t n);

    // Current element (after Start, Empty or End).
    NsId ns() const noexcept { return ns_; }
    std::string_view local() const noexcept { return view(local_start_, local_end_); }
    std::size_t tag_start() const noexcept { return tag_start_; }
    std::size_t tag_end() const noexcept { return tag_end_; }
    // Raw qualified name of the innermost open element (after Start, the element itself).
    std::string_view open_name() const noexcept;
    std::size_t depth() const noexcept { return stack_.size(); }

    // Attributes of the current start tag, in tag order.
    const std::vector<Attr>& attrs() const noexcept { return attrs_; }
    std::string_view attr_name(const Attr& a) const noexcept { return view(a.name_start, a.name_end); }
    std::string_view attr_local(const Attr& a) const noexcept { return view(a.local_start, a.local_end); }
    std::string_view attr_raw_value(const Attr& a) const noexcept { return view(a.value_start, a.value_end); }
    // Normalised value (borrowed when nothing changes, else a view of `scratch`).
    std::string_view attr_value(const Attr& a, std::string& scratch) const;
    // Dictionary key as the Python package spells it: "local", or "{uri}local".
    std::string attr_key(const Attr& a) const;
    // First attribute with this namespace and local name, or null.
    const Attr* find_attr(NsId ns, std::string_view local) const noexcept;

    // Current text (after Text).
    std::string_view text_raw() const noexcept { return view(text_start_, text_end_); }
    bool text_cdata() const noexcept { return text_cdata_; }
    bool text_needs_decoding() const noexcept { return text_raw_; }
    // Decoded text: line ends normalised, references replaced (not in CDATA).
    std::string_view text_str(std::string& scratch) const;

    // Absolute input offset of the next byte (bytes discarded so far plus pos()).
    std::uint64_t offset() const noexcept { return base_ + pos_; }

    // Capture of the current element's exact bytes: begin right after its Start or Empty event,
    // pull events until its End, then end_capture() gives "<" of the start tag to ">" of the end
    // tag. While active, no byte from the capture start on is discarded.
    void start_capture() noexcept { capture_ = tag_start_; }
    bool capturing() const noexcept { return capture_.has_value(); }
    std::string_view end_capture() noexcept;

    // Namespace bindings in scope, outermost declaration first, each prefix once with the URI of
    // its innermost declaration ("" for the default namespace). Valid until the next next().
    std::vector<std::pair<std::string_view, std::string_view>> in_scope_namespaces() const;
    const std::vector<Binding>& bindings() const noexcept { return bindings_; }
    std::optional<NsId> resolve_prefix(std::string_view prefix) const {
        return prefix.empty() ? std::optional<NsId>(default_ns_) : lookup_prefix(bindings_, prefix);
    }
    NsId default_ns() const noexcept { return default_ns_; }
    std::string_view uri(NsId id) const { return uris_.uri(id); }
    NsId intern_uri(std::string_view uri) { return uris_.intern_uri(uri); }

    // Raw buffer access for scanners that bypass events inside an element (the worksheet cell
    // fast path, the prescan). buffer()[buffered()] and the following ByteBuf::PAD bytes are zero.
    const char* buffer() const noexcept { return buf_.data(); }
    std::size_t buffered() const noexcept { return buf_.size(); }
    std::size_t pos() const noexcept { return pos_; }
    bool at_eof() const noexcept { return eof_; }
    // Moves the position forward over markup that the caller consumed itself. The skipped bytes
    // must be balanced content of the current element (every tag opened also closed), already
    // checked by the caller to the same rules; the element stack is unchanged.
    void skip_to(std::size_t pos) noexcept { pos_ = pos; }

private:
    struct Open {
        std::uint32_t names_off;   // where the raw name starts in names_
        std::uint32_t name_len;
        std::uint32_t local_off;   // start of the local part within the name
        std::uint32_t bindings;    // bindings pushed by the start tag
        NsId ns;                   // resolved namespace of the element
    };
    // Outcome of parsing a start tag over what is buffered.
    enum class TagParse : std::uint8_t { Done, Incomplete, Failed };

    std::string_view view(std::size_t a, std::size_t b) const noexcept { return {buf_.data() + a, b - a}; }
    XmlError malformed(const char* text) const { return XmlError::malformed(text, offset()); }
    XmlError unsupported(const char* text) const { return XmlError::unsupported(text, offset()); }

    [[nodiscard]] XmlResult<XmlEvent> pull(bool want_text);
    [[nodiscard]] XmlResult<void> start_document();
    [[nodiscard]] XmlResult<void> check_declaration(std::string_view body) const;
    [[nodiscard]] XmlResult<void> text_run();
    [[nodiscard]] XmlResult<void> skip_run();
    [[nodiscard]] XmlResult<bool> markup_decl(bool want_text);
    [[nodiscard]] XmlResult<void> skip_comment();
    // Moves past `skip` bytes, then hands what follows to `scan` piece by piece (never cutting a
    // UTF-8 character) until it returns how much of a piece runs through the construct's end;
    // every byte consumed goes to `feed` and is released. False when the input ends first.
    template <class Scan, class Feed>
    [[nodiscard]] XmlResult<bool> stream_past(std::size_t skip, Scan& scan, Feed& feed);
    [[nodiscard]] XmlResult<void> skip_cdata();
    [[nodiscard]] XmlResult<void> processing_instruction();
    [[nodiscard]] XmlResult<XmlEvent> end_tag();
    [[nodiscard]] XmlResult<XmlEvent> start_tag();
    // Where a parsed start tag ends and what the namespace pass needs to know about it.
    struct TagEnd {
        std::size_t name_end = 0;
        std::size_t prefix_len = 0;
        std::size_t gt = 0;          // index of the closing ">"
        bool self_closing = false;
        bool prefixed_attrs = false;
        bool declarations = false;
    };
    TagParse parse_start_tag(std::size_t limit, bool complete, XmlError& error, TagEnd& end);
    [[nodiscard]] XmlResult<XmlEvent> finish_start_tag(const TagEnd& end);
    XmlResult<XmlEvent> push_element(const TagEnd& end, NsId ns);
    void pop_element() noexcept;
    void compact();
    std::size_t dead_bytes() const noexcept;
    void discard_front(std::size_t discard) noexcept;

    // Searches from pos()+from for `needle`, reading more as needed; the index relative to pos(),
    // or npos at the end of input.
    [[nodiscard]] XmlResult<std::size_t> find_from(std::size_t from, std::string_view needle);
    // The ">" ending the start tag at pos(), skipping quoted stretches; relative index or npos.
    [[nodiscard]] XmlResult<std::size_t> find_tag_end();

    std::unique_ptr<ByteSource> source_;
    UriTable uris_;
    ByteBuf buf_;
    std::uint64_t base_ = 0;
    std::size_t pos_ = 0;
    std::optional<std::size_t> capture_;

    std::vector<Open> stack_;
    std::string names_;
    std::vector<Binding> bindings_;
    NsId default_ns_ = NS_NONE;  // innermost default binding, cached: every unprefixed tag needs it
    std::vector<Attr> attrs_;
    std::vector<Binding> pending_;  // declarations of the tag being parsed, pushed at its end
    // Raw names of a tag with many attributes: past LINEAR_DUP_LIMIT a hash set keeps the
    // duplicate check linear, so a tag with a million attributes cannot stall the reader.
    std::unordered_set<std::string_view> seen_names_;
    std::string scratch_;

    NsId ns_ = NS_NONE;
    std::size_t local_start_ = 0, local_end_ = 0;
    std::size_t tag_start_ = 0, tag_end_ = 0;
    std::size_t text_start_ = 0, text_end_ = 0;
    bool text_cdata_ = false;
    bool text_raw_ = false;

    bool eof_ = false;
    bool started_ = false;
    bool root_seen_ = false;
    bool root_closed_ = false;
    bool pending_end_ = false;
};

// ---- Fast attribute path -------------------------------------------------------------------
// For <c> and <f> start tags as well-behaved producers write them: spaces only between
// attributes, names of ASCII letters, name="value" with double quotes and plain ASCII values.
// Anything else is NotHandled (nothing consumed; parse the tag with next()). Never an error.

enum class FastOutcome : std::uint8_t {
    NotHandled,   // parse the same tag by the general rules
    Open,         // ">" ended the tag; `next` is the index after it
    SelfClosing,  // "/>" ended the tag; `next` is the index after it
};

struct FastScan {
    FastOutcome outcome;
    std::size_t next;
};

// Value ranges of up to three recognised attributes (buffer indices; start == npos when absent).
struct FastSlots {
    static constexpr std::size_t ABSENT = static_cast<std::size_t>(-1);
    std::size_t start[3] = {ABSENT, ABSENT, ABSENT};
    std::size_t end[3] = {0, 0, 0};
    bool has(int i) const noexcept { return start[i] != ABSENT; }
};

// The bytes that end an attribute value on the fast path: its closing quote, and what the
// general rules must look at ('<', '&', control and non-ASCII bytes), which stops the fast path.
inline constexpr std::array<bool, 256> FAST_VALUE_END = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = true;
    for (int c = 0x80; c < 0x100; ++c) t[c] = true;
    for (int c : {'"', '<', '&'}) t[c] = true;
    return t;
}();

// `matcher(name, value_start, value_end)` returns false to stop (NotHandled). A matcher takes a
// few names it knows, each once (its slots start empty for each tag): a name it does not know
// (`xmlns` among them) or one it has taken already is refused, so that a repeated attribute
// goes to the general rules, which report it.
// PERF NOTE: the matcher's slots are the record of the names seen; values are short, so they
// are scanned a byte at a time through one table.
template <class Matcher>
FastScan fast_attrs(const char* buf, std::size_t end, std::size_t pos, Matcher&& matcher) {
    constexpr FastScan not_handled{FastOutcome::NotHandled, 0};
    for (;;) {
        if (pos >= end) return not_handled;
        const char c = buf[pos];
        if (c == '>') return {FastOutcome::Open, pos + 1};
        if (c == '/') {
            if (pos + 1 < end && buf[pos + 1] == '>') return {FastOutcome::SelfClosing, pos + 2};
            return not_handled;
        }
        if (c != ' ') return not_handled;
        do ++pos;
        while (pos < end && buf[pos] == ' ');
        if (pos >= end) return not_handled;
        if (buf[pos] == '>' || buf[pos] == '/') continue;
        const std::size_t name_start = pos;
        while (pos < end && is_ascii_letter(buf[pos])) ++pos;
        if (pos == name_start || pos + 1 >= end || buf[pos] != '=' || buf[pos + 1] != '"') return not_handled;
        const std::string_view name(buf + name_start, pos - name_start);
        pos += 2;
        const std::size_t value_start = pos;
        while (pos < end && !FAST_VALUE_END[static_cast<unsigned char>(buf[pos])]) ++pos;
        if (pos >= end || buf[pos] != '"') return not_handled;
        if (!matcher(name, value_start, pos)) return not_handled;
        ++pos;
    }
}

// <c>: "r", "s", "t" fill slots 0, 1, 2; any other name (`cm`, `vm`, `ph` ...) stops the fast
// path, so that the event path keeps it.
struct CellMatcher {
    FastSlots& slots;
    bool operator()(std::string_view name, std::size_t start, std::size_t end) const noexcept {
        const int slot = name.size() != 1 ? -1 : name[0] == 'r' ? 0 : name[0] == 's' ? 1 : name[0] == 't' ? 2 : -1;
        if (slot < 0 || slots.has(slot)) return false;
        slots.start[slot] = start;
        slots.end[slot] = end;
        return true;
    }
};

// <f>: "t", "ref", "si" fill slots 0, 1, 2; any other name stops the fast path.
struct FormulaMatcher {
    FastSlots& slots;
    bool operator()(std::string_view name, std::size_t start, std::size_t end) const noexcept {
        const int slot = same_bytes(name, "t") ? 0 : same_bytes(name, "ref") ? 1 : same_bytes(name, "si") ? 2 : -1;
        if (slot < 0 || slots.has(slot)) return false;
        slots.start[slot] = start;
        slots.end[slot] = end;
        return true;
    }
};

}  // namespace qf::xml
