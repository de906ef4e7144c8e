// update-run <program dir> <base URL>: runs one update of the folder from the server (list
// "vtcam.xml"), as the camera does at start-up, and prints the notifications. Publishers use
// it to try a server before shipping; the kill test uses it as a small host. Exit code 0
// when the run's result is 0.
#include <cstdio>

#include "update/LiveUpdate.h"

namespace {

class PrintingClient : public CLiveUpdateClient {
 public:
  explicit PrintingClient(const char* dir) : CLiveUpdateClient(dir) {}
  ~PrintingClient() override { StopEngine(); }
  bool OnTryDownloadCenter(const char* t) override { return Print("OnTryDownloadCenter", t); }
  bool OnException(const char* t) override { return Print("OnException", t); }
  bool OnUpdateFinish() override { return Print("OnUpdateFinish", ""); }

 private:
  bool Print(const char* name, const char* text) {
    std::printf("%s %s\n", name, text ? text : "");
    std::fflush(stdout);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: update-run <program dir> <base URL>\n");
    return 2;
  }
  PrintingClient client(argv[1]);
  client.Engine()->AddServer(argv[2], "vtcam.xml");
  client.Engine()->Start(&client);
  while (!client.Engine()->Wait(1000)) {
  }
  return client.Engine()->Result() == 0 ? 0 : 1;
}
