// The service's entry point: command line, saved settings file, the safety
// checks on network exposure, then the Core, the listener and the serve loop.
#pragma once

namespace halvenor {

// Runs the service until SIGINT or SIGTERM; returns the process exit status
// (2 for usage errors, 1 for other start-up failures, 0 after a normal stop).
int server_main(int argc, char** argv);

}  // namespace halvenor
