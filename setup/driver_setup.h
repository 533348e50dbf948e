// teldo driver install | remove | status: the TELDO port driver set up with
// the service manager's API (Windows 2000 has no sc.exe), and a plain
// answer to why it does not run.
#pragma once

#include <cstddef>
#include <string_view>

#include "command.h"

namespace teldo::console {

// Runs "driver ..." (the words after "driver"); the process's exit code.
int driver_command(Words words);

namespace setup {

// What install was asked to set.
struct Choices {
    bool ports_given = false;
    std::string_view ports;
    bool users_may_open = false;
    // --card ID, as given: each card takes at least one of the 16 windows,
    // so a 17th is one too many.
    static constexpr std::size_t max_cards = 16;
    std::string_view cards[max_cards];
    std::size_t card_count = 0;
};

// The three commands; each returns the process's exit code.
int install(const Choices& choices);
int remove();
int status();

}  // namespace setup
}  // namespace teldo::console
