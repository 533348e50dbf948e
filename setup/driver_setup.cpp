// teldo driver install | remove | status: the words after "driver" to the
// command of each, in files of their own.
#include "driver_setup.h"

#include <atomic>

#include "output.h"
#include "service.h"

namespace teldo::console {
namespace {

constexpr const char* usage_text =
    "usage: teldo driver install [--ports LIST] [--card ID]... [--users-may-open] | driver remove | driver status\r\n"
    "  --ports LIST  plain windows: 0300-031F,0378\r\n"
    "  --card ID     a card's I/O ports as Windows gave them, ID its instance ID\r\n"
    "                (teldo cards lists them) or a hardware-ID prefix of one device\r\n";

// Set while install or remove runs. Ctrl+C and Ctrl+Break then wait until
// the command has finished, or put back what it changed, and teldo ends as
// the command ends. Closing the console window, logging off and shutting
// down wait too, but only as long as Windows lets them (about 5 s from
// Vista on, then it ends the process): nothing can hold those off.
constinit std::atomic<bool> changing{false};

BOOL WINAPI on_console_control(DWORD) {
    while (changing.load()) Sleep(50);
    return TRUE;
}

template <class Command>
int uninterrupted(Command command) {
    changing.store(true);
    if (!SetConsoleCtrlHandler(on_console_control, TRUE))
        return setup::failure("Ctrl+C cannot be held off for the set-up; nothing changed", GetLastError());
    const int exit_code = command();
    changing.store(false);
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
            } else if (is(word, "--card")) {
                std::string_view id;
                if (!words.next(id)) return usage("--card takes an ID: teldo cards lists the devices' instance IDs");
                if (choices.card_count == setup::Choices::max_cards)
                    return usage("more --card than the 16 windows the driver takes, at ", id);
                choices.cards[choices.card_count++] = id;
            } else if (is(word, "--users-may-open")) {
                choices.users_may_open = true;
            } else {
                return usage("install takes --ports LIST, --card ID and --users-may-open, not ", word);
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
