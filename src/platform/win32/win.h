// The Windows headers as this layer uses them. Every file of the win32
// platform includes them through here, so that the ANSI names are fixed and
// the few function-like macros that collide with the platform interface's
// method names (MessageBox, TextOut) are gone before that interface is seen.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
// windows.h first: the others rely on its types.
#include <commctrl.h>
#include <mmsystem.h>
#include <shellapi.h>

#undef MessageBox
#undef TextOut
