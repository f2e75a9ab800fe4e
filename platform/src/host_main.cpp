// The host program's entry: loads the machine, then hands the argument text to
// WinMain the way Windows does.
#include "machine.h"

#include <winsim/machine_folder.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string sMessage;
    int nStatus = winsim::detail::PrepareHostMachine(getenv("WINSIM_MACHINE"), &sMessage);
    if (nStatus != 0)
    {
        fprintf(stderr, "%s\n", sMessage.c_str());
        return nStatus;
    }
    // Windows starts the program by its own path on the machine, and that is
    // what the program reports: the system directory, not a host path.
    std::string sProgramPath = winsim::detail::SystemDirectory() + "\\qvzmrx14.exe";
    std::vector<char*> vpszArgv(argv, argv + argc);
    if (!vpszArgv.empty())
        vpszArgv[0] = &sProgramPath[0];
    vpszArgv.push_back(nullptr);
    __argc = argc;
    __argv = vpszArgv.data();
    // Windows passes the command line without the program's path and the
    // blanks after it; here the words are joined by single blanks.
    std::string sArguments;
    for (int i = 1; i < argc; ++i)
    {
        if (i > 1)
            sArguments += ' ';
        sArguments += argv[i];
    }
    std::vector<char> vchArguments(sArguments.begin(), sArguments.end());
    vchArguments.push_back('\0');
    return WinMain(nullptr, nullptr, vchArguments.data(), 1);
}
