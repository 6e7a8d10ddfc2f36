#include <cstdio>

#include "platform/machine.h"
#include "tools/lumectl/commands.h"

namespace lumectl {

int RunMachineCommand(const Args& args) {
  if (args.empty() || args[0] != "init") {
    std::fprintf(stderr,
                 "usage: lumectl machine init DIR [--os OS] [--arch ARCH] [--user NAME]\n");
    return 2;
  }
  platform::MachineOptions options;
  std::string dir;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--os" || a == "--arch" || a == "--user") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "lumectl machine init: %s needs a value\n", a.c_str());
        return 2;
      }
      (a == "--os" ? options.os : a == "--arch" ? options.arch : options.user) = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "lumectl machine init: unknown option '%s'\n", a.c_str());
      return 2;
    } else if (dir.empty()) {
      dir = a;
    } else {
      std::fprintf(stderr, "lumectl machine init: more than one folder given\n");
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "lumectl machine init: the folder of the new image is missing\n");
    return 2;
  }
  std::string error;
  if (platform::CreateMachineImage(dir, options, &error) != platform::ERROR_SUCCESS) {
    std::fprintf(stderr, "lumectl machine init: %s\n", error.c_str());
    return error.rfind("unknown", 0) == 0 || error.rfind("invalid", 0) == 0 ? 2 : 1;
  }
  std::printf("created machine image %s (%s, %s)\n", dir.c_str(), options.os.c_str(),
              options.arch.c_str());
  return 0;
}

}  // namespace lumectl
