// <windows.h> for the window code. The A/W macros LoadString, MessageBox, CreateEvent and
// SetPort are removed: they are names of the window port and the HID backend, and the code
// here calls the W functions by their full names.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#undef LoadString
#undef MessageBox
#undef CreateEvent
#undef SetPort
