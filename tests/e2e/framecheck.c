/* framecheck: reads back the frame of Lumrio's main window from inside Wine.
 *
 * What X shows of a Wine window (its size, its title) says nothing about the
 * Win32 styles behind it, the system menu or the owner window, so this asks
 * the window itself. It waits up to SECONDS (default 10) for the top-level
 * window with exactly the caption below, then prints one key=value line per
 * fact for a script to judge:
 *   found                     1 (0 alone when the window never came)
 *   style, exstyle            hex
 *   minimizebox, maximizebox, thickframe, sysmenu, caption   0 or 1
 *   sysmenu.count, sysmenu.N  one line per item: "0xID text" or "separator",
 *                             read inside the window's process by framehook.dll
 *   client                    WIDTHxHEIGHT
 *   owner                     0 or the owner's handle in hex
 *   owner.title, owner.visible  (only when there is an owner)
 *
 * Usage: framecheck.exe [SECONDS]
 * Exit status 0 when the window was found, 2 when it was not. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "framehook.h"

#define CAPTION "Quibex Lumrio v 1.72"

static int has(LONG_PTR style, LONG_PTR bit) {
  return (style & bit) == bit;
}

/* Menus live in their owner's process under Wine, so the menu is read there
 * by framehook.dll (see framehook.c) and handed back through shared memory. */
static void print_system_menu(HWND window) {
  HANDLE mapping;
  char* view;
  HMODULE hook_module = LoadLibraryA("framehook.dll");
  HOOKPROC proc = hook_module ? (HOOKPROC)(void*)GetProcAddress(hook_module, FRAMEHOOK_PROC) : NULL;
  DWORD thread = GetWindowThreadProcessId(window, NULL);
  HHOOK hook;
  DWORD_PTR answer = 0;
  if (!proc) {
    printf("sysmenu.count=no framehook.dll\n");
    return;
  }
  mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, FRAMEHOOK_SIZE,
                               FRAMEHOOK_MAPPING);
  view = mapping ? (char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, FRAMEHOOK_SIZE) : NULL;
  hook = view ? SetWindowsHookExA(WH_CALLWNDPROC, proc, hook_module, thread) : NULL;
  if (!hook) {
    printf("sysmenu.count=no hook (error %lu)\n", (unsigned long)GetLastError());
  } else {
    view[0] = '\0';
    SendMessageTimeoutA(window, WM_NULL, FRAMEHOOK_ASK, FRAMEHOOK_ASK, SMTO_ABORTIFHUNG, 5000,
                        &answer);
    UnhookWindowsHookEx(hook);
    view[FRAMEHOOK_SIZE - 1] = '\0';
    if (view[0]) {
      fputs(view, stdout);
    } else {
      printf("sysmenu.count=no answer from the window's process\n");
    }
  }
  if (view) UnmapViewOfFile(view);
  if (mapping) CloseHandle(mapping);
}

static void print_owner(HWND window) {
  HWND owner = GetWindow(window, GW_OWNER);
  char title[256] = "";
  if (!owner) {
    printf("owner=0\n");
    return;
  }
  GetWindowTextA(owner, title, (int)sizeof title);
  printf("owner=0x%lX\n", (unsigned long)(ULONG_PTR)owner);
  printf("owner.title=%s\n", title);
  printf("owner.visible=%d\n", IsWindowVisible(owner) ? 1 : 0);
}

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  DWORD start = GetTickCount();
  HWND window = NULL;
  LONG_PTR style, exstyle;
  RECT client;

  for (;;) {
    window = FindWindowA(NULL, CAPTION);
    if (window || GetTickCount() - start >= (DWORD)seconds * 1000u) break;
    Sleep(100);
  }
  if (!window) {
    printf("found=0\n");
    return 2;
  }
  printf("found=1\n");
  style = GetWindowLongPtrA(window, GWL_STYLE);
  exstyle = GetWindowLongPtrA(window, GWL_EXSTYLE);
  printf("style=0x%08lX\n", (unsigned long)style);
  printf("exstyle=0x%08lX\n", (unsigned long)exstyle);
  printf("minimizebox=%d\n", has(style, WS_MINIMIZEBOX));
  printf("maximizebox=%d\n", has(style, WS_MAXIMIZEBOX));
  printf("thickframe=%d\n", has(style, WS_THICKFRAME));
  printf("sysmenu=%d\n", has(style, WS_SYSMENU));
  printf("caption=%d\n", has(style, WS_CAPTION));
  print_system_menu(window);
  if (GetClientRect(window, &client)) {
    printf("client=%ldx%ld\n", (long)(client.right - client.left),
           (long)(client.bottom - client.top));
  } else {
    printf("client=unknown\n");
  }
  print_owner(window);
  fflush(stdout);
  return 0;
}
