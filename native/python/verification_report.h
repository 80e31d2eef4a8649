// The Python VerificationReport: an immutable copy of one engine report.
//
// Contract: instances are made only by new_verification_report (Python code
// cannot call the class). Attributes are read-only: the six counters as ints,
// store_id as a new 16-byte bytes object on each access, has_torn_tail as a
// bool. repr() spells the flag "true"/"false" and leaves store_id out.
#pragma once

#include <Python.h>

#include "engine/verification.h"
#include "python/module_state.h"

namespace ombrel::python {

// A new VerificationReport, or nullptr with an exception set.
PyObject* new_verification_report(const ModuleState& state, const engine::VerificationReport& report);

}  // namespace ombrel::python
