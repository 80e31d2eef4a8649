// The arguments of the workflow moves, shared by the Store methods, which run
// a move at once, and the Transaction methods, which stage it: one parameter
// list and one conversion per move, so both faces accept and refuse alike.
//
// Each *_args function converts in parameter order (the id first: a wrong
// length raises OmbrelStoreError "workflow id must be exactly 16 bytes"
// before anything else is looked at) and returns nullopt with the Python
// exception set.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "jobs/workflow.h"
#include "python/arguments.h"
#include "python/staged_operations.h"

namespace ombrel::python {

inline constexpr Param kSetWorkflowStepParams[] = {{"id"}, {"step"}, {"state"}, {"now_ms"}};
inline constexpr Param kWaitForSignalParams[] = {{"id"}, {"signal"}, {"now_ms"}};
inline constexpr Param kSignalWorkflowParams[] = {{"id"}, {"signal"}, {"payload"}, {"now_ms"}};
inline constexpr Param kWaitUntilParams[] = {{"id"}, {"resume_at_ms"}, {"now_ms"}};
inline constexpr Param kCompleteWorkflowParams[] = {{"id"}, {"final_state"}, {"now_ms"}};
inline constexpr Param kFailWorkflowParams[] = {{"id"}, {"error"}, {"now_ms"}};
inline constexpr Param kCancelWorkflowParams[] = {{"id"}, {"reason"}, {"now_ms"}};

inline constexpr const char* kWorkflowIdLengthMessage = "workflow id must be exactly 16 bytes";

std::optional<jobs::WorkflowId> workflow_id_arg(PyObject* self, PyObject* object, const char* name);

using WorkflowArgs = std::span<PyObject* const>;
std::optional<staged::SetWorkflowStep> set_workflow_step_args(PyObject* self, WorkflowArgs args);
std::optional<staged::WaitForSignal> wait_for_signal_args(PyObject* self, WorkflowArgs args);
std::optional<staged::SignalWorkflow> signal_workflow_args(PyObject* self, WorkflowArgs args);
std::optional<staged::WaitUntil> wait_until_args(PyObject* self, WorkflowArgs args);
// Completed (final_state) or Failed (error).
std::optional<staged::FinishWorkflow> finish_workflow_args(PyObject* self, WorkflowArgs args,
                                                           jobs::WorkflowStatus outcome);
std::optional<staged::CancelWorkflow> cancel_workflow_args(PyObject* self, WorkflowArgs args);

}  // namespace ombrel::python
