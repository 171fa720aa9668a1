// The rich-text context over the package's helper table (see context.hpp).
#include "text/context.hpp"

#include "core/frame.hpp"
#include "pysource.hpp"

namespace qf::text {

namespace {

// validate_rpr(snippet: bytes, namespaces: list) -> truthy
class PyRprValidator final : public RprValidator {
public:
    explicit PyRprValidator(PyObject* callable) : callable_(Ref::borrow(callable)) {}

    XmlResult<bool> validate(std::string_view rpr, const xml::Reader& reader) override {
        Ref snippet = Ref::steal(PyBytes_FromStringAndSize(rpr.data(), static_cast<Py_ssize_t>(rpr.size())));
        if (!snippet) return std::unexpected(source_error());
        Ref namespaces = Ref::steal(ns_list(reader.in_scope_namespaces()));
        if (!namespaces) return std::unexpected(source_error());
        PyObject* args[] = {snippet.get(), namespaces.get()};
        Ref result = Ref::steal(PyObject_Vectorcall(callable_.get(), args, 2, nullptr));
        if (!result) return std::unexpected(source_error());
        const int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return std::unexpected(source_error());
        return truth != 0;
    }

private:
    Ref callable_;
};

Names names_of(const NameSet& set) { return Names(set.names()); }

}  // namespace

RichContext make_rich_context(const Helpers& helpers, Forbid forbid) {
    return RichContext(names_of(helpers.text_dangerous), names_of(helpers.rich_dangerous), forbid,
                       std::make_unique<PyRprValidator>(helpers.validate_rpr.get()));
}

}  // namespace qf::text
