// The first-install program: the window by default, or the unattended mode.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "firstrun/installation.h"
#include "firstrun/unattended.h"
#include "firstrun/wizard.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto has = [&](const char* option) { return std::find(args.begin(), args.end(), option) != args.end(); };
  if (has("--help") || has("-h")) {
    std::cout << halvenor::firstrun::usage_text();
    return 0;
  }
  if (has("--unattended"))
    return halvenor::firstrun::run_unattended(args, halvenor::firstrun::source_folder(), std::cout, std::cerr);
  if (!args.empty()) {
    std::cerr << "firstrun: unknown option " << args.front() << "\n\n" << halvenor::firstrun::usage_text();
    return 2;
  }
  return halvenor::firstrun::run_wizard(halvenor::firstrun::source_folder());
}
