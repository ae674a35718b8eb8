// portald: the router's captive portal.
#include "core/main_loop.h"
#include "core/startup.h"

int main(int argc, char** argv) {
  core::start_up(argc, argv);
  core::run_main_loop();
}
