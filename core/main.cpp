// Process entry: command line, canonical executable path, one core, exit status.
#include <wx/app.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <memory>

#include "core/command_line.h"
#include "core/dvrcore.h"

int main(int argc, char **argv)
{
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.help) {
        std::fprintf(stderr, "core version %s\n", CoreVersion());
        std::fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
        return 0;
    }

    wxInitialize();

    boost::system::error_code error;
    const boost::filesystem::path cwd = boost::filesystem::current_path(error);
    boost::filesystem::path executable;
    if (!error)
        executable = boost::filesystem::canonical("/proc/self/exe", cwd, error);
    if (error) {
        std::fprintf(stderr, "failed to find canonical path\n");
        wxUninitialize();
        return 1;
    }

    auto core = std::make_unique<dvrcore>(executable.string());
    if (!core->Initialize(commandLine.parentDescriptor)) {
        std::fprintf(stderr, "failed to initialize core\n");
        core.reset();
        wxUninitialize();
        return 2;
    }
    core->Start();
    wxUninitialize();
    core.reset();
    return 0;
}
