#include "core/command_line.h"

#include <cstdlib>

CommandLine parseCommandLine(int argc, const char *const *argv)
{
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] == '-') {
            if (arg[1] == 'h') {
                result.help = true;
                return result;
            }
            continue;
        }
        result.parentDescriptor = std::atoi(arg);
        break;
    }
    return result;
}
