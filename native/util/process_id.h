// The calling process's id, without a system call per ask.
//
// Contract: equal to getpid() in every process, the children of fork()
// included (the cached id is refreshed in the child by a pthread_atfork
// handler, and fork is how a running program's id changes). Checks that a
// store is used only by the process that opened it run on every call, and a
// getpid() system call costs as much as a whole lookup.
#pragma once

namespace ombrel {

int current_process_id();

}  // namespace ombrel
