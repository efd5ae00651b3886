// progress_window.h -- the progress window's dialog procedure and the ids of template 100.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int PROGRESS_TEMPLATE = 100;  // IDD_PROGRESS in the resource script
constexpr int PROGRESS_BAR_ID = 101;    // IDC_PROGRESS_BAR

// Stores the progress bar on MESSAGE_INITDIALOG (returns 1, so the focus goes to Cancel);
// a Cancel click (wparam exactly COMMAND_CANCEL) sets cancel_requested, destroys the window
// and posts the quit message. Every other message: nothing, 0.
int progress_dialog_proc(WindowHandle window, unsigned message, uintptr_t wparam, intptr_t lparam);
