#include <string>

#include "app/CameraApp.h"
#include "framework/Application.h"

int main(int argc, char** argv) {
  // The arguments are joined back into one command line, as the start-up rules read it.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  framework::InitApplication(&argc, argv);
  CCameraApp app;
  const int result = app.RunApplication(commandLine);
  framework::ShutdownApplication();
  return result;
}
