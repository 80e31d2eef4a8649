// Table-driven argument parsing for METH_FASTCALL | METH_KEYWORDS methods.
//
// Contract: a method declares its parameters once, e.g.
//   static constexpr Param kParams[] = {{"key"}, {"value"}};
//   static constexpr Param kParams[] = {{"path"}, Param::keyword("durability", "\"data\"")};
// and the same table drives both parsing and the published text signature,
// so the two can never disagree.
//
// parse_arguments fills one borrowed PyObject* per parameter (nullptr when a
// defaulted parameter was omitted; the method applies the default itself) and
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

#include <span>
#include <string>
#include <string_view>

namespace ombrel::python {

struct Param {
  const char* name;
  // The default as Python source text ("None", "100", "\"data\"", "..."), or
  // nullptr for a required parameter.
  const char* default_text = nullptr;
  bool keyword_only = false;

  constexpr Param(const char* param_name, const char* default_source = nullptr, bool keyword = false)
      : name(param_name), default_text(default_source), keyword_only(keyword) {}

  static constexpr Param keyword(const char* param_name, const char* default_source) {
    return Param(param_name, default_source, true);
  }
};

// Returns false with a Python exception set. `out` must have params.size() slots.
bool parse_arguments(std::string_view method_name, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

std::string text_signature_doc(std::string_view method_name, std::span<const Param> params, bool is_static,
                               std::string_view doc);

}  // namespace ombrel::python
