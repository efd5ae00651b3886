// run_installer.h -- the whole run: gate, temp directory, progress window, walk, launch, quit.
#pragma once

#include "platform/platform.h"

extern InstanceHandle instance_handle;
extern char module_path[PATH_CAPACITY];

// Runs the installation from start to end on this thread; 0 after every kind of run.
int run_installer(InstanceHandle instance);

// Opens temp_dir's "\setup.exe" or "\install.exe" through the shell, as launch_target says.
void launch_setup_program();

// Back to the zeroed start of a process, for tools and tests that run more than once.
void clear_run_state();
