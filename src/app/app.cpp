// Program start: the application title, the main window, the message loop.
#include "app/app.h"

#include "app/main_window.h"

namespace lumrio::app {

int RunLumrio(platform::Platform& platform) {
  platform.ui.SetApplicationTitle(kApplicationTitle);
  Tw_Main window(platform);
  window.FormCreate();
  window.Form().Show();
  platform.ui.Run();
  return 0;
}

}  // namespace lumrio::app
