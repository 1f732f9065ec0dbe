#pragma once
// kestro-host install / uninstall: this build of the codec installed from the INF beside the
// program, and the steps an INF cannot take (a data folder and permissions for standard users).
#include <string>
#include <vector>

namespace host {

struct InstallOptions {
    std::string inf; // empty: kestro32.inf beside kestro-host.exe
    // Run by the Windows Installer package, whose one Apps entry stands for both builds: the
    // INF's own entry goes.
    bool msi = false;
};

// Exit codes: kExitOk; kExitUsage when refused before anything changed (bad arguments, a
// missing or foreign INF, a newer build installed, not installed, a read-only settings file, no
// administrator rights); kExitPartial when a step failed after others had changed the system
// (the message says what is left).
int RunInstall(const InstallOptions& options);
// `msi`: run by the package, which removes the data folder it made itself.
int RunUninstall(bool msi);

// The command line after "install" or "uninstall".
int RunInstallCommand(const std::string& command, const std::vector<std::string>& args);

} // namespace host
