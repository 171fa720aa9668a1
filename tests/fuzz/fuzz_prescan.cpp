// The sheet prescan under different cuttings of the same bytes: the same results and the same
// error (kind, text, offset), with and without rows and corners. The raw scan indexes the
// reader's buffer directly, so the sanitizers watch every read past what is buffered.
#include "prescan/prescan.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class LogSink final : public qf::prescan::Sink {
public:
    std::string log;
    qf::XmlResult<void> element(bool tail, std::string_view snippet, const qf::prescan::Namespaces& ns) override {
        log += (tail ? "T" : "H") + std::string(snippet) + std::to_string(ns.size()) + "\n";
        return {};
    }
    qf::XmlResult<void> row(std::int64_t row, std::span<const qf::prescan::RowAttr> attrs) override {
        log += "R" + std::to_string(row);
        for (const auto& a : attrs) log += " " + a.key + "=" + a.value;
        log += "\n";
        return {};
    }
    qf::XmlResult<std::int64_t> row_index(std::string_view text) override { return static_cast<std::int64_t>(text.size()); }
};

std::string run(std::string_view data, bool want_rows, bool corners, std::vector<std::size_t> pieces) {
    qf::xml::Reader reader(std::make_unique<qf::xml::MemorySource>(data, std::move(pieces)));
    qf::prescan::Corners wanted;
    if (corners) {
        for (std::int64_t r = 1; r <= 3; ++r) wanted.add(r, r);
    }
    LogSink sink;
    auto ok = qf::prescan::prescan(reader, want_rows, wanted, sink);
    if (!ok) sink.log += "E" + std::to_string(static_cast<int>(ok.error().kind)) + ok.error().text + "@" + std::to_string(ok.error().offset);
    for (const auto& c : wanted.items()) sink.log += "C" + c.style.value_or("-");
    return sink.log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (int mode = 0; mode < 3; ++mode) {
        const bool want_rows = mode == 1, corners = mode == 2;
        const std::string whole = run(input, want_rows, corners, {65536});
        if (run(input, want_rows, corners, {1}) != whole) abort();
        if (run(input, want_rows, corners, {3, 1, 7, 2, 13}) != whole) abort();
    }
    return 0;
}
