#include "app/program_arguments.h"

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

namespace varnel {

std::optional<int> ParseProgramArguments(CLI::App& app, int argc, char** argv,
                                         const char* program) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitDone;
    } catch (const CLI::CallForVersion& version) {
        std::cout << version.what() << "\n";
        return kExitDone;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "%s: %s\n", program, error.what());
        return kExitBadArguments;
    }
    return std::nullopt;
}

}  // namespace varnel
