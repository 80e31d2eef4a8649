// The calling process's id without a system call per question: read once,
// and again in a child right after fork (a pthread_atfork handler), so that
// an object can cheaply tell whether the process that made it is this one.
#pragma once

namespace ombrel {

int current_process_id();

}  // namespace ombrel
