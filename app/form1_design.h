// The stored design of the main window Form1: the window itself and every
// control (the window creates them in tab order, not in the order listed),
// with its container, caption, position and size in twips (1/1440 inch), tab
// index and control ID. The window is built from this table alone; nothing
// about the layout lives in code.
#pragma once

#include <array>
#include <string_view>

namespace brenvo::design {

enum class Kind : unsigned char { push_button, group_box, text_field, label };

// Control IDs: none is IDOK (1) or IDCANCEL (2), so the dialog manager's
// Enter and Esc commands reach no control.
enum ControlId : int {
    id_command1 = 1001,
    id_command2 = 1002,
    id_command3 = 1003,
    id_text2 = 2002,
    id_text5 = 2005,
    id_text6 = 2006,
    id_frame1 = 3001,
    id_frame2 = 3002,
    id_label2 = 4002,
    id_label3 = 4003,
    id_label5 = 4005,
    id_label6 = 4006,
    id_label7 = 4007,
    id_label11 = 4011,
};

// Names and captions are views of string literals, so they end in a NUL and
// can be handed to the platform as they are.
struct FormDesign {
    std::wstring_view class_name;
    std::wstring_view caption;
    int client_left, client_top;      // design position of the client area on the screen
    int client_width, client_height;  // client area
};

struct ControlDesign {
    std::string_view name;
    Kind kind;
    std::string_view container;  // "Form1" or the group box it sits in
    std::wstring_view caption;
    int left, top, width, height;  // from the container's top-left corner
    int tab_index;
    int id;
};

inline constexpr FormDesign form1{L"BrenvoForm1", L"Brenvo", 4785, 3180, 6465, 5115};

inline constexpr std::array<ControlDesign, 14> form1_controls{{
    {"Command3", Kind::push_button, "Form1", L"退      出", 5760, 3720, 375, 975, 11, id_command3},
    {"Frame2", Kind::group_box, "Form1", L"写卡", 360, 480, 2655, 2655, 8, id_frame2},
    {"Command2", Kind::push_button, "Frame2", L"写", 840, 2160, 735, 375, 3, id_command2},
    {"Text6", Kind::text_field, "Frame2", L"", 1440, 1080, 735, 375, 1, id_text6},
    {"Text5", Kind::text_field, "Frame2", L"", 1440, 480, 735, 375, 0, id_text5},
    {"Label6", Kind::label, "Frame2", L"数值(Hex)", 480, 1200, 855, 255, 10, id_label6},
    {"Label5", Kind::label, "Frame2", L"地址(Hex)", 480, 600, 855, 255, 9, id_label5},
    {"Frame1", Kind::group_box, "Form1", L"读卡", 3480, 480, 2655, 2655, 5, id_frame1},
    {"Command1", Kind::push_button, "Frame1", L"读", 840, 2160, 735, 375, 4, id_command1},
    {"Text2", Kind::text_field, "Frame1", L"", 1440, 360, 735, 405, 2, id_text2},
    {"Label11", Kind::label, "Frame1", L"", 1440, 960, 735, 405, 13, id_label11},
    {"Label3", Kind::label, "Frame1", L"数值(Hex)", 480, 1080, 855, 255, 7, id_label3},
    {"Label2", Kind::label, "Frame1", L"地址(Hex)", 480, 480, 855, 255, 6, id_label2},
    {"Label7", Kind::label, "Form1", L"", 360, 120, 4335, 255, 12, id_label7},
}};

// The control that shows the read result, set off as an output field.
inline constexpr std::string_view output_label = "Label11";

}  // namespace brenvo::design
