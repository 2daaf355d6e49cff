#include "app/startup.h"

int main(int argc, char** argv) { return halvenor::server_main(argc, argv); }
