// The extension point of the binding: method blocks and classes register
// themselves at static-initialisation time, and module initialisation builds
// the classes from whatever is registered.
//
// Methods. A method is a struct whose data members are its converted
// arguments, with
//   static constexpr const char* kName;          // Python name
//   static constexpr auto kParams = params(...); // omit for no parameters (parameters.h)
//   static constexpr const char* kDoc;           // docstring after the signature
//   static constexpr MethodKind kKind = MethodKind::Static;   // omit for instance methods
//   PyObject* call(PyObject* self);              // const or not
// `self` is the instance, or the module for a static method. method_spec<M>()
// wraps it in a METH_FASTCALL|METH_KEYWORDS trampoline that parses the
// arguments by kParams, makes the checks of method_precheck (an instance
// method), converts the arguments into a new M, calls it, and turns any
// escaping C++ exception into a Python exception. A unit then registers its
// methods:
//   static constexpr MethodSpec kMethods[] = {method_spec<Get>(), ...};
//   static const MethodBlock kBlock{TargetClass::Store, kMethods};
// method_table(target) is the union of every block's instance methods for that
// class (its tp_methods), built once with the text-signature docstrings and
// kept for the life of the process; add_static_methods then adds the static
// ones to the created type. (CPython hands METH_STATIC functions a NULL self,
// which would leave them no way to the module state; so each static method is
// a function bound to the module, like a module-level function, wrapped in
// staticmethod.)
//
// Classes. A unit that defines a class registers
//   static const ClassRegistration kClass{{order, "Name", add_function}};
// and module initialisation calls add_function(module, state) in ascending
// order; it must create the type, store it in the state and add it to the
// module. Orders: Store 1, Transaction 2, VerificationReport 3, ReadOnlyStore 4.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "python/arguments.h"
#include "python/blocking_call.h"
#include "python/errors.h"
#include "python/module_state.h"
#include "python/parameters.h"

namespace ombrel::python {

enum class TargetClass : uint8_t { Store, Transaction };
enum class MethodKind : uint8_t { Instance, Static };

using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct MethodSpec {
  const char* name;
  FastMethod function;
  std::span<const Param> params;
  const char* doc;
  MethodKind kind;
};

namespace detail {

template <class M>
constexpr std::span<const Param> params_of() {
  if constexpr (requires { M::kParams; }) {
    return std::span<const Param>(M::kParams.table);
  } else {
    return {};
  }
}

template <class M>
constexpr MethodKind kind_of() {
  if constexpr (requires { M::kKind; }) {
    return M::kKind;
  } else {
    return MethodKind::Instance;
  }
}

}  // namespace detail

// The checks an instance method makes before it looks at its arguments'
// values, by the class of `self`: a Store or Transaction used from another
// process than the one that opened it is refused, and so is every method of
// a finished Transaction but __enter__ and __exit__. False with an exception set.
bool method_precheck(PyObject* self, std::string_view method_name);

template <class M>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    install_blocking_hook();
    constexpr std::span<const Param> params = detail::params_of<M>();
    std::array<PyObject*, params.size()> slots{};
    if (!parse_arguments(M::kName, params, args, nargs, kwnames, slots)) return nullptr;
    if constexpr (detail::kind_of<M>() == MethodKind::Instance) {
      if (!method_precheck(self, M::kName)) return nullptr;
    }
    M method{};
    if constexpr (requires { M::kParams; }) {
      if (!M::kParams.convert(self, slots, method)) return nullptr;
    }
    return method.call(self);
  } catch (...) {
    return raise_current_cpp_exception();
  }
}

template <class M>
constexpr MethodSpec method_spec() {
  return MethodSpec{M::kName, &fastcall<M>, detail::params_of<M>(), M::kDoc, detail::kind_of<M>()};
}

class MethodBlock {
 public:
  MethodBlock(TargetClass target, std::span<const MethodSpec> methods);
};

// The sentinel-terminated table of instance methods for `target`, or nullptr
// with an exception set (two blocks defining the same name).
PyMethodDef* method_table(TargetClass target);

// Adds the static methods registered for `target` to the new `type` of
// `module`. Returns 0, or -1 with an exception set.
int add_static_methods(PyObject* type, TargetClass target, PyObject* module);

struct ClassSpec {
  int order;
  const char* name;
  // Returns 0, or -1 with an exception set.
  int (*add_to_module)(PyObject* module, ModuleState& state);
};

class ClassRegistration {
 public:
  explicit ClassRegistration(const ClassSpec& spec);
};

// Every registered class, in ascending order.
std::vector<ClassSpec> registered_classes();

// The last step of an add_to_module function: keeps the new `type` (owned) in
// its module-state slot, replacing any earlier one, and adds it to `module`.
int install_class(PyObject* module, PyObject*& state_slot, PyObject* type);

}  // namespace ombrel::python
