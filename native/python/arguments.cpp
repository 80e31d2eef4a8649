// Argument parsing and text signatures; see arguments.h for the contract.
#include "python/arguments.h"

#include <string>
#include <vector>

namespace ombrel::python {
namespace {

size_t positional_capacity(std::span<const Param> params) {
  size_t count = 0;
  while (count < params.size() && !params[count].keyword_only) ++count;
  return count;
}

std::string plural(size_t count, std::string_view word) {
  std::string text = std::to_string(count);
  text += ' ';
  text += word;
  if (count != 1) text += 's';
  return text;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the list CPython prints for
// missing arguments.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += ' ';
      if (i + 1 == names.size()) text += "and ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

void raise_too_many_positional(std::string_view method_name, std::span<const Param> params, size_t capacity,
                               Py_ssize_t given) {
  size_t required = 0;
  for (size_t i = 0; i < capacity; ++i)
    if (!params[i].has_default()) ++required;
  std::string message(method_name);
  message += "() takes ";
  if (required == capacity) {
    message += plural(capacity, "positional argument");
  } else {
    message += "from " + std::to_string(required) + " to " + plural(capacity, "positional argument");
  }
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  raise_type_error(message);
}

bool raise_missing(std::string_view method_name, std::span<const Param> params, std::span<PyObject*> out) {
  std::vector<const char*> positional;
  std::vector<const char*> keyword_only;
  for (size_t i = 0; i < params.size(); ++i) {
    if (out[i] != nullptr || params[i].has_default()) continue;
    (params[i].keyword_only ? keyword_only : positional).push_back(params[i].name);
  }
  if (positional.empty() && keyword_only.empty()) return false;
  const bool is_positional = !positional.empty();
  const auto& names = is_positional ? positional : keyword_only;
  std::string message(method_name);
  message += "() missing ";
  message += plural(names.size(), is_positional ? "required positional argument" : "required keyword-only argument");
  message += ": ";
  message += quoted_list(names);
  raise_type_error(message);
  return true;
}

}  // namespace

bool parse_arguments(std::string_view method_name, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  for (PyObject*& slot : out) slot = nullptr;

  const size_t capacity = positional_capacity(params);
  if (nargs < 0 || static_cast<size_t>(nargs) > capacity) {
    raise_too_many_positional(method_name, params, capacity, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    if (keyword_count < 0) return false;
    const std::string prefix(method_name);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* keyword = PyTuple_GetItem(kwnames, k);
      if (keyword == nullptr) return false;
      size_t index = params.size();
      for (size_t i = 0; i < params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, params[i].name) == 0) {
          index = i;
          break;
        }
      }
      if (index == params.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", prefix.c_str(), keyword);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", prefix.c_str(), params[index].name);
        return false;
      }
      out[index] = args[nargs + k];
    }
  }

  return !raise_missing(method_name, params, out);
}

std::string text_signature_doc(std::string_view method_name, std::span<const Param> params, bool is_static,
                               std::string_view doc) {
  std::string text(method_name);
  text += '(';
  bool first = true;
  auto separate = [&] {
    if (!first) text += ", ";
    first = false;
  };
  if (!is_static) {
    separate();
    text += "$self";
  }
  bool marker_written = false;
  for (const Param& param : params) {
    if (param.keyword_only && !marker_written) {
      separate();
      text += '*';
      marker_written = true;
    }
    separate();
    text += param.name;
    if (param.has_default()) {
      text += '=';
      text += param.default_text.c_str();
    }
  }
  text += ")\n--\n\n";
  text += doc;
  return text;
}

}  // namespace ombrel::python
