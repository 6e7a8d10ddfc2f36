// lumectl: the command-line front end of Paylume. It creates machine images, reads and
// writes their registry, and runs the page's commands through the program's dispatcher.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/machine.h"
#include "tools/lumectl/commands.h"

namespace {

const char kUsage[] =
    "usage: lumectl VERB ...\n"
    "\n"
    "  machine init DIR [--os OS] [--arch ARCH] [--user NAME]\n"
    "        create a fresh machine image (OS: xp, vista, win7, win8, win81, win10;\n"
    "        ARCH: x86, x64; default win10 x64)\n"
    "  reg query|add|delete|export|import ...\n"
    "        work on the registry of the machine image like the Windows reg tool\n"
    "  call NAME [ARG...] [-- NAME [ARG...]]...\n"
    "        run page commands through the dispatcher and print one JSON line each;\n"
    "        arguments: i:5 s:text b:true r:1.5 e: (empty); a bare number is an int,\n"
    "        anything else a string\n"
    "  get URL [URL...]\n"
    "        fetch with the program's HTTP agent and write the bodies to standard output\n"
    "        (a relative URL is glued to the path of the last absolute one)\n"
    "  check TYPE|INDEX [--fix] [--json] [--config LOCATION]\n"
    "  check --all [--fix] [--json] [--config LOCATION]\n"
    "        load the item configuration (ConfigUrl, or LOCATION: URL, C:\\ path or local\n"
    "        file) and run do_check (do_fix with --fix) like the page, printing the result\n"
    "        objects; --all runs every fixed check and every item (then repairs and installs\n"
    "        what failed with --fix); exit 0 when all is well, 1 otherwise\n"
    "  download URL FILE\n"
    "        download with the program's HTTP agent, with a progress bar; FILE is a path of\n"
    "        the machine image when it starts with a drive (C:\\...), else a local file\n"
    "\n"
    "The machine image is the folder named by LUMEDESK_MACHINE, or the default image\n"
    "(created on first use) when the variable is not set.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") ||
      !std::strcmp(argv[1], "-h")) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string verb = argv[1];
  lumectl::Args args(argv + 2, argv + argc);
  if (verb == "machine") return lumectl::RunMachineCommand(args);
  if (verb != "reg" && verb != "call" && verb != "get" && verb != "download" &&
      verb != "check") {
    std::fprintf(stderr, "lumectl: unknown verb '%s'\n\n%s", verb.c_str(), kUsage);
    return 2;
  }
  std::string error;
  if (platform::SelectCurrentMachine(&error) != platform::ERROR_SUCCESS) {
    std::fprintf(stderr, "lumectl: %s\n", error.c_str());
    return 1;
  }
  if (verb == "get") return lumectl::RunGetCommand(args);
  if (verb == "download") return lumectl::RunDownloadCommand(args);
  if (verb == "check") return lumectl::RunCheckCommand(args);
  return verb == "reg" ? lumectl::RunRegCommand(args) : lumectl::RunCallCommand(args);
}
