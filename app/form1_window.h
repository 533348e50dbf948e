// The main window Form1, built from its stored design (form1_design.h). It
// turns window messages into the window's seven events (form1_events.h) and
// offers the few operations the event handlers use.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

#include "form1_design.h"

namespace brenvo::form1 {

// Creates the window and its controls if they do not exist yet; false when
// the window could not be created.
bool load(HINSTANCE instance);

// Shows the window modeless, without owner, with the focus in the first
// control of the tab order.
void show();

// Destroys the window; its unload event runs first. Nothing when not loaded.
void unload();

// The window while it is loaded, else nullptr.
HWND handle();

// A field's text, in a buffer from the process heap: the fields have no
// length limit. When the buffer cannot be had, or the text cannot be copied
// into it, the text is unreadable: it is not taken for an empty one.
class FieldText {
public:
    explicit FieldText(HWND field);
    ~FieldText();
    FieldText(const FieldText&) = delete;
    FieldText& operator=(const FieldText&) = delete;
    bool readable() const { return readable_; }
    operator std::wstring_view() const { return {data_ ? data_ : L"", length_}; }

private:
    wchar_t* data_ = nullptr;
    std::size_t length_ = 0;
    bool readable_ = true;
};

FieldText text(design::ControlId control);
void set_caption(design::ControlId control, const wchar_t* caption);

// The dialog manager's keyboard handling (Tab, Shift+Tab) for messages bound
// for the window; true when the message has been handled.
bool dialog_message(MSG& message);

}  // namespace brenvo::form1
