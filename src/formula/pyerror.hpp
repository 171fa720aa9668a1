// Turning a FormulaError into the Python exception the host package would raise. Kept apart
// from the byte-level formula unit so that its C++ tests link without the interpreter.
#pragma once

#include "core/ref.hpp"
#include "formula/formula.hpp"

namespace qf::formula {

// Raises the exception for `error` and returns null: Tokenizer/Translator errors are built by
// calling the host's TokenizerError/TranslatorError class (`tokenizer_error`,
// `translator_error`, borrowed) with the message, PopEmpty is IndexError("pop from empty
// list"), NeedPython is TypeError("internal: NeedPython"). If building the exception fails,
// that failure is raised instead.
PyObject* raise_formula_error(const FormulaError& error, PyObject* tokenizer_error,
                              PyObject* translator_error) noexcept;

}  // namespace qf::formula
