#pragma once
// CTonveloApp: the program is its main dialog; it ends when the dialog closes.

#include <QApplication>

namespace tonvelo {

class CTonveloApp : public QApplication {
  Q_OBJECT

 public:
  CTonveloApp(int& argc, char** argv);
  // Runs the main dialog modally; the program's exit status.
  int Run();
};

}  // namespace tonvelo
