/* framehook: the part of framecheck that runs inside Lumrio's own process.
 *
 * Wine keeps menus inside the process that owns them: GetSystemMenu on
 * another process's window returns nothing there. framecheck.exe therefore
 * hooks the window's thread with this library (WH_CALLWNDPROC), which Wine
 * loads into that process, and sends the window a WM_NULL marked with
 * FRAMEHOOK_ASK. On that message the hook describes the system menu, one
 * "sysmenu..." line per fact, into the shared memory named FRAMEHOOK_MAPPING
 * that framecheck.exe has made; every other message passes untouched. */
#include "framehook.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

static void describe_system_menu(HWND window, char* out, size_t size) {
  HMENU menu = GetSystemMenu(window, FALSE);
  size_t used = 0;
  int count, i;
  if (!menu) {
    snprintf(out, size, "sysmenu.count=none\n");
    return;
  }
  count = GetMenuItemCount(menu);
  used += (size_t)snprintf(out + used, size - used, "sysmenu.count=%d\n", count);
  for (i = 0; i < count && used < size; ++i) {
    MENUITEMINFOA info;
    char text[128] = "";
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU;
    if (!GetMenuItemInfoA(menu, (UINT)i, TRUE, &info)) {
      used += (size_t)snprintf(out + used, size - used, "sysmenu.%d=unreadable\n", i);
    } else if (info.fType & MFT_SEPARATOR) {
      used += (size_t)snprintf(out + used, size - used, "sysmenu.%d=separator\n", i);
    } else {
      GetMenuStringA(menu, (UINT)i, text, (int)sizeof text, MF_BYPOSITION);
      /* A submenu has no command of its own: its id would be its handle. */
      used += (size_t)snprintf(out + used, size - used, "sysmenu.%d=0x%04X %s%s\n", i,
                               info.hSubMenu ? 0u : (unsigned)GetMenuItemID(menu, i), text,
                               info.hSubMenu ? " (submenu)" : "");
    }
  }
}

__declspec(dllexport) LRESULT CALLBACK framehook_proc(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT* sent = (const CWPSTRUCT*)lParam;
  if (code == HC_ACTION && sent && sent->message == WM_NULL && sent->wParam == FRAMEHOOK_ASK &&
      sent->lParam == FRAMEHOOK_ASK) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, FRAMEHOOK_MAPPING);
    if (mapping) {
      char* view = (char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, FRAMEHOOK_SIZE);
      if (view) {
        describe_system_menu(sent->hwnd, view, FRAMEHOOK_SIZE);
        view[FRAMEHOOK_SIZE - 1] = '\0';
        UnmapViewOfFile(view);
      }
      CloseHandle(mapping);
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}
