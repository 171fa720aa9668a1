// Differential fuzzing of the XML reader against itself: the same bytes, cut into different
// pieces, must give the same events, the same captured bytes and the same error (kind, text and
// offset). Chunk boundaries inside tokens, references, CDATA, comments and captures are where
// incremental readers break; the sanitizers catch what goes wrong in between.
#include "xml/dimension.hpp"
#include "xml/reader.hpp"

#include "cuts.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qf::xml::MemorySource;
using qf::xml::Reader;
using qf::xml::XmlEvent;

// One line per event; captured children of the root are checked against the input slice.
std::string run(std::string_view data, std::vector<std::size_t> pieces) {
    Reader r(std::make_unique<MemorySource>(data, std::move(pieces)));
    std::string log, scratch;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        auto ev = r.next();
        if (!ev) {
            const auto& e = ev.error();
            log += "E" + std::to_string(static_cast<int>(e.kind)) + e.text + "@" + std::to_string(e.offset) + "\n";
            return log;
        }
        log += std::to_string(static_cast<int>(*ev));
        switch (*ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                log += std::to_string(r.ns()) + ":" + std::string(r.local());
                for (const auto& a : r.attrs()) log += " " + r.attr_key(a) + "=" + std::string(r.attr_value(a, scratch));
                if (r.depth() == 2) r.start_capture();
                break;
            case XmlEvent::End:
                log += std::to_string(r.ns()) + ":" + std::string(r.local());
                if (r.depth() == 1 && r.capturing()) {
                    const std::string_view snippet = r.end_capture();
                    const std::uint64_t end = r.offset();
                    if (snippet.size() > end || data.substr(end - snippet.size(), snippet.size()) != snippet) abort();
                    for (const auto& [p, u] : r.in_scope_namespaces()) log += " " + std::string(p) + "=" + std::string(u);
                }
                break;
            case XmlEvent::Text:
                log += r.text_str(scratch);
                break;
            case XmlEvent::Eof:
                log += "\n";
                return log;
        }
        log += "\n";
    }
    abort();  // the reader must not loop
}

std::string dimension(std::string_view data, std::vector<std::size_t> pieces) {
    Reader r(std::make_unique<MemorySource>(data, std::move(pieces)));
    auto found = qf::xml::find_dimension(r);
    if (!found) return std::string("E") + found.error().text;
    if (!*found) return "none";
    std::string out = (*found)->snippet;
    if (data.find(out) == std::string_view::npos) abort();
    for (const auto& [p, u] : (*found)->namespaces) out += "|" + p + "=" + u;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::vector<std::size_t> random = require_same_under_cuts(run, bytes, size);
    const std::string dim = dimension(data, {});
    if (dimension(data, random) != dim) abort();
    return 0;
}
