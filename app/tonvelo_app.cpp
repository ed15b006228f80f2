#include "app/tonvelo_app.h"

#include "app/dialog_parts.h"
#include "app/settings_store.h"
#include "app/tonvelo_dlg.h"
#include "app/user_prompts.h"

namespace tonvelo {

CTonveloApp::CTonveloApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Tonvelo"));
  setApplicationVersion(QStringLiteral("1.22"));
  // Lets the desktop match windows to the installed tonvelo-gui.desktop.
  setDesktopFileName(QStringLiteral("tonvelo-gui"));
  setWindowIcon(ProgramIcon());
}

int CTonveloApp::Run() {
  CSettingsStore store;
  CUserPrompts prompts;
  CTonveloDlg dialog(store, prompts);
  dialog.exec();
  return 0;
}

}  // namespace tonvelo
