// Table-driven argument parsing for METH_FASTCALL | METH_KEYWORDS methods.
//
// Contract: one table of Params, in published order, drives both parsing and
// the published text signature, so the two can never disagree. Methods do
// not write it: their typed declarations (parameters.h) build it.
//
// parse_arguments fills one borrowed PyObject* per parameter (nullptr when a
// defaulted parameter was omitted; its declaration supplies the default) and
// raises TypeError in the wording CPython uses for too many positional
// arguments, a missing required argument, an unexpected keyword argument and
// a repeated argument. Keyword-only parameters come after all positional ones.
//
// text_signature_doc builds "name($self, key, value)\n--\n\n<doc>" (no $self for
// static methods, a `*` marker before the first keyword-only parameter, and
// each default printed as its default text), which CPython publishes as
// __text_signature__ so that inspect.signature works.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace ombrel::python {

// A default as Python source text ("None", "100", "\"data\"", "..."), kept
// inside the declaration so that it lives as long as the table; empty for a
// required parameter.
struct DefaultText {
  std::array<char, 24> chars{};

  constexpr bool empty() const { return chars[0] == '\0'; }
  constexpr const char* c_str() const { return chars.data(); }

  // `source` as it is; longer than the buffer does not compile.
  static constexpr DefaultText verbatim(std::string_view source) {
    DefaultText text;
    if (source.size() >= text.chars.size()) throw "default text too long";
    for (size_t i = 0; i < source.size(); ++i) text.chars[i] = source[i];
    return text;
  }
};

struct Param {
  const char* name = nullptr;
  DefaultText default_text{};
  bool keyword_only = false;

  constexpr Param() = default;
  constexpr Param(const char* param_name, DefaultText text, bool keyword)
      : name(param_name), default_text(text), keyword_only(keyword) {}

  constexpr bool has_default() const { return !default_text.empty(); }
};

// Returns false with a Python exception set. `out` must have params.size() slots.
bool parse_arguments(std::string_view method_name, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

std::string text_signature_doc(std::string_view method_name, std::span<const Param> params, bool is_static,
                               std::string_view doc);

}  // namespace ombrel::python
