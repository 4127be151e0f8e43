// ferrowhistle-display: shows a message through the running Ferrowhistle (or
// one it starts) and returns once the message has gone, so a script's next
// step runs after it.
#include "DisplayArguments.h"
#include "DisplayClient.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void printLine(FILE *to, const std::string &text)
{
    std::fputs(text.c_str(), to);
    std::fputc('\n', to);
}

} // namespace

int main(int argc, char **argv)
{
    // Ctrl-C keeps its default action: this process ends at once, and the
    // app (started by the bus, or in a session of its own) is unaffected.
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(DisplayArguments::validUtf8(argv[i]));

    const DisplayArguments parsed = DisplayArguments::parse(arguments);
    if (parsed.result == DisplayArguments::Result::Help) {
        std::fwrite(DisplayArguments::usage().data(), 1, DisplayArguments::usage().size(), stdout);
        return 0;
    }
    if (parsed.result == DisplayArguments::Result::UsageError) {
        printLine(stderr, "ferrowhistle-display: " + parsed.error);
        printLine(stderr, "Try 'ferrowhistle-display --help'.");
        return 2;
    }
    DisplayClient client;
    const DisplayClient::Result r = client.run(parsed);
    if (r.exitCode != 0)
        printLine(stderr, "ferrowhistle-display: " + r.error);
    else if (parsed.printOutcome)
        printLine(stdout, r.outcome);
    return r.exitCode;
}
