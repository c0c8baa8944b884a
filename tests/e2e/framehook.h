/* framehook.h: what framecheck.exe and framehook.dll agree on. */
#ifndef FRAMEHOOK_H
#define FRAMEHOOK_H

/* Marks the WM_NULL (wParam and lParam alike) that asks for the menu. */
#define FRAMEHOOK_ASK 0x4C4D5246
#define FRAMEHOOK_MAPPING "framecheck-system-menu"
#define FRAMEHOOK_SIZE 4096
#define FRAMEHOOK_PROC "framehook_proc"

#endif
