// Registries of method blocks and classes; see method_registry.h.
#include "python/method_registry.h"

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>

#include "python/py_ref.h"
#include "python/store_slot.h"
#include "python/transaction.h"

namespace ombrel::python {
namespace {

struct RegisteredBlock {
  TargetClass target;
  std::span<const MethodSpec> methods;
};

// Function-local statics: registrars in other units may run before anything
// in this unit has been initialised.
std::vector<RegisteredBlock>& blocks() {
  static std::vector<RegisteredBlock> registry;
  return registry;
}

std::vector<ClassSpec>& classes() {
  static std::vector<ClassSpec> registry;
  return registry;
}

// A built method table. PyMethodDef entries point into `docs`, so both live
// until the process ends (types may outlive any one module object).
struct BuiltTable {
  std::deque<std::string> docs;
  std::vector<PyMethodDef> defs;        // instance methods, sentinel-terminated
  std::deque<PyMethodDef> static_defs;  // addresses stay put: functions keep them
  std::string error;                    // non-empty when the blocks conflict
};

BuiltTable build_table(TargetClass target) {
  BuiltTable table;
  std::vector<std::string_view> names;
  for (const RegisteredBlock& block : blocks()) {
    if (block.target != target) continue;
    for (const MethodSpec& spec : block.methods) {
      if (std::find(names.begin(), names.end(), spec.name) != names.end() && table.error.empty())
        table.error = std::string("_native: method defined twice: ") + spec.name;
      names.push_back(spec.name);
      const bool is_static = spec.kind == MethodKind::Static;
      table.docs.push_back(text_signature_doc(spec.name, spec.params, is_static, spec.doc));
      const PyMethodDef def{spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.function)),
                            METH_FASTCALL | METH_KEYWORDS, table.docs.back().c_str()};
      (is_static ? table.static_defs.push_back(def) : table.defs.push_back(def));
    }
  }
  table.defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return table;
}

}  // namespace

MethodBlock::MethodBlock(TargetClass target, std::span<const MethodSpec> methods) {
  blocks().push_back(RegisteredBlock{target, methods});
}

// Built on first use, after every static registrar has run; nullptr with an
// exception set when the blocks conflict.
BuiltTable* table_for(TargetClass target) {
  static BuiltTable store_table = build_table(TargetClass::Store);
  static BuiltTable transaction_table = build_table(TargetClass::Transaction);
  BuiltTable& table = target == TargetClass::Store ? store_table : transaction_table;
  if (!table.error.empty()) {
    PyErr_SetString(PyExc_SystemError, table.error.c_str());
    return nullptr;
  }
  return &table;
}

PyMethodDef* method_table(TargetClass target) {
  BuiltTable* table = table_for(target);
  return table == nullptr ? nullptr : table->defs.data();
}

int add_static_methods(PyObject* type, TargetClass target, PyObject* module) {
  BuiltTable* table = table_for(target);
  if (table == nullptr) return -1;
  if (table->static_defs.empty()) return 0;
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  PyRef staticmethod = PyRef::steal(PyObject_GetAttrString(builtins.get(), "staticmethod"));
  if (!staticmethod) return -1;
  for (PyMethodDef& def : table->static_defs) {
    // Bound to the module, so the function receives it as `self`.
    PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!function) return -1;
    PyRef wrapped = PyRef::steal(PyObject_CallFunctionObjArgs(staticmethod.get(), function.get(), nullptr));
    if (!wrapped) return -1;
    if (PyObject_SetAttrString(type, def.ml_name, wrapped.get()) < 0) return -1;
  }
  return 0;
}

bool method_precheck(PyObject* self, std::string_view method_name) {
  ModuleState* state = state_of_instance(self);
  if (state == nullptr) return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (type == state->store_type) return store_precheck(self, method_name);
  if (type == state->transaction_type) return transaction_precheck(self, method_name);
  return true;
}

ClassRegistration::ClassRegistration(const ClassSpec& spec) { classes().push_back(spec); }

std::vector<ClassSpec> registered_classes() {
  std::vector<ClassSpec> ordered = classes();
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const ClassSpec& a, const ClassSpec& b) { return a.order < b.order; });
  return ordered;
}

int install_class(PyObject* module, PyObject*& state_slot, PyObject* type) {
  PyObject* previous = state_slot;
  state_slot = type;
  Py_XDECREF(previous);
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace ombrel::python
