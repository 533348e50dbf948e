// teldo driver install | remove | status: the words after "driver" to the
// command of each, in files of their own.
#include "driver_setup.h"

#include "output.h"

namespace teldo::console {
namespace {

constexpr const char* usage_text =
    "usage: teldo driver install [--ports LIST] [--users-may-open] | driver remove | driver status\r\n";

// Set while install or remove changes the system: Ctrl+C, Ctrl+Break or a
// closed console window then waits until the command has finished or put
// back what it changed.
constinit volatile bool changing = false;

BOOL WINAPI on_console_control(DWORD) {
    while (changing) Sleep(50);
    return TRUE;
}

template <class Command>
int uninterrupted(Command command) {
    changing = true;
    SetConsoleCtrlHandler(on_console_control, TRUE);
    const int exit_code = command();
    changing = false;
    return exit_code;
}

int usage(const char* what, std::string_view word = {}) { return usage_error(what, word, "", usage_text); }

}  // namespace

int driver_command(Words words) {
    std::string_view verb, word;
    if (!words.next(verb)) return usage("driver takes install, remove or status");
    if (is(verb, "install")) {
        setup::Choices choices;
        while (words.next(word)) {
            if (is(word, "--ports")) {
                if (!words.next(choices.ports)) return usage("--ports takes a LIST: 0300-031F,0378");
                choices.ports_given = true;
            } else if (is(word, "--users-may-open")) {
                choices.users_may_open = true;
            } else {
                return usage("install takes --ports LIST and --users-may-open, not ", word);
            }
        }
        return uninterrupted([&choices] { return setup::install(choices); });
    }
    if (words.next(word)) return usage("nothing may follow ", verb);
    if (is(verb, "remove")) return uninterrupted(setup::remove);
    if (is(verb, "status")) return setup::status();
    return usage("unknown driver command ", verb);
}

}  // namespace teldo::console
