// The relocation pipeline: from the loaded input to the saved image and entry-point files.
#pragma once

#include "context.h"
#include "kelpx.h"

// Runs every stage in order; 0 on success, 1 after the first failing stage has reported.
[[nodiscard]] int pieshift(context *ctx, const kelpx_handle *elf);

// Ends the process with status. The handlers that end a run where they fail call this, so that a
// harness running the tool in process can route the exit back to itself.
[[noreturn]] void pieshift_exit(int status);
// hook, when set, is called instead of exit and must not return (it may throw).
using pieshift_exit_hook = void (*)(int status);
void pieshift_set_exit_hook(pieshift_exit_hook hook);
