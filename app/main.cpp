#include "app/tonvelo_app.h"

int main(int argc, char** argv) {
  tonvelo::CTonveloApp app(argc, argv);
  return app.Run();
}
