#include <cstdio>

#include "crash/watchdog/ErrorBox.h"
#include "crash/watchdog/Sentrel.h"

int main(int argc, char** argv) {
  // Watchers of the console see each line as it happens.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  sentrel::CSentrel watchdog;
  const int exitCode = watchdog.Run(argc, argv);
  sentrel::CloseErrorBoxes();
  return exitCode;
}
