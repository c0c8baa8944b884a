// Program start: the application title, the main window, the message loop.
#include "app/app.h"

#include <exception>
#include <memory>

#include "app/main_window.h"

namespace lumrio::app {

int RunLumrio(platform::Platform& platform) {
  platform.ui.SetApplicationTitle(kApplicationTitle);
  // A window or control that cannot be created leaves nothing to run: the
  // user is told why, and the program ends with a failure status.
  std::unique_ptr<Tw_Main> window;
  try {
    window = std::make_unique<Tw_Main>(platform);
  } catch (const std::exception& e) {
    platform.ui.ErrorBox(e.what());
    return 1;
  }
  window->FormCreate();
  window->Form().Show();
  platform.ui.Run();
  return 0;
}

}  // namespace lumrio::app
