// The verbs of lumectl. Each takes the arguments after its verb and returns the exit
// code: 0 done, 1 the operation failed, 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace lumectl {

using Args = std::vector<std::string>;

int RunMachineCommand(const Args& args);  // machine init DIR [--os OS] [--arch ARCH]
int RunRegCommand(const Args& args);      // reg query|add|delete|export|import ...
int RunCallCommand(const Args& args);     // call NAME [ARG...] [-- NAME [ARG...]]...
int RunGetCommand(const Args& args);      // get URL [URL...]
int RunDownloadCommand(const Args& args); // download URL FILE
int RunCheckCommand(const Args& args);    // check TYPE|INDEX|--all [--fix] [--json] [--config LOCATION]

}  // namespace lumectl
