// The handlers of the main window's events, one per event.
#pragma once

#include <cstdint>

#include "form1_design.h"

namespace brenvo::form1 {

void command1_click();  // read
void command2_click();  // write
void command3_click();  // exit

// Key press in Text2, Text5 or Text6, before the character is inserted;
// setting the key code to 0 discards the character.
void text_key_press(design::ControlId field, std::int16_t& key_code);

// The window is about to go, whatever closes it.
void form_unload();

}  // namespace brenvo::form1
