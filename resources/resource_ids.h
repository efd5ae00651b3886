// resource_ids.h -- ids of the stub's resources, shared by the resource script and the code.
#pragma once

#define IDI_STUB 1
#define IDD_PROGRESS 100
#define IDC_PROGRESS_BAR 101
#define IDC_WAIT_TEXT 103
