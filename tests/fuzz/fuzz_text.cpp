// Differential fuzzing of the rich-text reader: every main-namespace `si` of the input through
// parse_text, under whole reads, single bytes and input-seeded cuts, must give the same texts,
// the same hand-overs (their bytes a slice of the input) and the same error. Run-property bytes
// are taken across buffer compaction, where an offset slip would show as a different verdict.
#include "text/text.hpp"

#include "cuts.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace qf::xml;
using namespace qf::text;

// Refuses rPr bytes holding "i", records every call; every rPr must be a slice of the input.
class Recorder final : public RprValidator {
public:
    explicit Recorder(std::string_view data, std::string& log) : data_(data), log_(log) {}
    qf::XmlResult<bool> validate(std::string_view rpr, const Reader&) override {
        if (data_.find(rpr) == std::string_view::npos) abort();
        log_ += "V" + std::string(rpr) + "\n";
        return rpr.find('i') == std::string_view::npos;
    }

private:
    std::string_view data_;
    std::string& log_;
};

std::string run(std::string_view data, std::vector<std::size_t> pieces) {
    std::string log;
    RichContext ctx(Names({"foo"}), Names({"bar"}), forbid_item, std::make_unique<Recorder>(data, log));
    Reader r(std::make_unique<MemorySource>(data, std::move(pieces)));
    TextItem item;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        auto ev = r.next();
        if (!ev) return log + "E" + ev.error().text;
        if (*ev == XmlEvent::Eof) return log;
        if ((*ev != XmlEvent::Start && *ev != XmlEvent::Empty) || r.ns() != NS_MAIN || r.local() != "si") continue;
        auto done = parse_text(r, ctx, item);
        if (!done) return log + "E" + done.error().text;
        if (item.dispatch) {
            if (data.find(item.captured.snippet) == std::string_view::npos) abort();
            log += "D" + item.captured.snippet;
            for (const auto& [p, u] : item.captured.namespaces) log += "|" + p + "=" + u;
        } else {
            log += "P" + item.text;
        }
        log += "\n";
    }
    abort();  // the reader must not loop
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    require_same_under_cuts(run, bytes, size);
    return 0;
}
