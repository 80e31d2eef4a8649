// The VerificationReport class; see verification_report.h for the contract.
#include "python/verification_report.h"

#include <new>
#include <string>

#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"

namespace ombrel::python {
namespace {

struct ReportObject {
  PyObject_HEAD engine::VerificationReport report;
};

const engine::VerificationReport& report_of(PyObject* self) { return reinterpret_cast<ReportObject*>(self)->report; }

template <uint64_t engine::VerificationReport::* Field>
PyObject* get_counter(PyObject* self, void*) {
  return int_result(report_of(self).*Field);
}

PyObject* get_store_id(PyObject* self, void*) { return bytes_result(report_of(self).header.store_id); }

PyObject* get_has_torn_tail(PyObject* self, void*) { return bool_result(report_of(self).has_torn_tail()); }

PyObject* report_repr(PyObject* self) {
  try {
    const engine::VerificationReport& r = report_of(self);
    std::string text = "VerificationReport(file_bytes=" + std::to_string(r.file_bytes) +
                       ", valid_bytes=" + std::to_string(r.valid_bytes) + ", records=" + std::to_string(r.records) +
                       ", committed_transactions=" + std::to_string(r.committed_transactions) +
                       ", pending_transactions=" + std::to_string(r.pending_transactions) +
                       ", keys=" + std::to_string(r.keys) +
                       ", has_torn_tail=" + (r.has_torn_tail() ? "true" : "false") + ")";
    return text_result(text);
  } catch (...) {
    return raise_current_cpp_exception();
  }
}

void report_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ReportObject*>(self)->report.~VerificationReport();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyGetSetDef kGetSet[] = {
    {"file_bytes", &get_counter<&engine::VerificationReport::file_bytes>, nullptr, "Length of the file in bytes.",
     nullptr},
    {"valid_bytes", &get_counter<&engine::VerificationReport::valid_bytes>, nullptr,
     "64 plus the length of the complete log records replayed.", nullptr},
    {"records", &get_counter<&engine::VerificationReport::records>, nullptr,
     "Number of log records replayed, committed or not.", nullptr},
    {"committed_transactions", &get_counter<&engine::VerificationReport::committed_transactions>, nullptr,
     "Number of transactions that have a commit record.", nullptr},
    {"pending_transactions", &get_counter<&engine::VerificationReport::pending_transactions>, nullptr,
     "Number of transactions with records but no commit record.", nullptr},
    {"keys", &get_counter<&engine::VerificationReport::keys>, nullptr,
     "Number of live keys after the replay, internal keys included.", nullptr},
    {"store_id", &get_store_id, nullptr, "The 16-byte identity of the store (a new bytes object on each access).",
     nullptr},
    {"has_torn_tail", &get_has_torn_tail, nullptr,
     "True when the file holds bytes after the last complete record (valid_bytes < file_bytes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kReportDoc =
    "What a read-only replay of a store file found; returned by Store.verify(path).\n\n"
    "Instances cannot be created from Python and their attributes are read-only.";

PyType_Slot kReportSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&report_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&report_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kReportDoc)},
    {0, nullptr},
};

PyType_Spec kReportSpec = {
    "_native.VerificationReport",
    static_cast<int>(sizeof(ReportObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kReportSlots,
};

int add_report_class(PyObject* module, ModuleState& state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kReportSpec, nullptr);
  if (type == nullptr) return -1;
  return install_class(module, state.verification_report_type, type);
}

const ClassRegistration kReportClass{{3, "VerificationReport", &add_report_class}};

}  // namespace

PyObject* new_verification_report(const ModuleState& state, const engine::VerificationReport& report) {
  auto* type = reinterpret_cast<PyTypeObject*>(state.verification_report_type);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "_native: VerificationReport is not initialised");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ReportObject*>(self)->report) engine::VerificationReport(report);
  return self;
}

}  // namespace ombrel::python
