#include "checked_actions.h"

#include <gtest/gtest.h>

#include "form1_design.h"
#include "hex_entry.h"

namespace brenvo::test {

using namespace brenvo::design;

CheckedActions::Outcome CheckedActions::press(int button) {
    if (!brenvo_.sync()) {
        ADD_FAILURE() << "the program does not answer (hung or ended)";
        return Outcome::fault;
    }
    const bool read = button == id_command1;
    const std::wstring label_before = brenvo_.text(id_label11);
    const Narrowed expected = read ? narrow_read(brenvo_.text(id_text2))
                                   : narrow_write(brenvo_.text(id_text5), brenvo_.text(id_text6));
    brenvo_.click(button);

    if (expected.misfit) {
        const MessageBoxSeen box = brenvo_.wait_for_message_box(10000);
        if (!box.window) {
            ADD_FAILURE() << "no warning for an entry out of range";
            return Outcome::fault;
        }
        brenvo_.dismiss(box);
        if (!brenvo_.sync()) {
            ADD_FAILURE() << "the program does not answer after its warning";
            return Outcome::fault;
        }
        EXPECT_EQ(diagnostics_.snapshot().requests, requests_) << "a request despite the warning";
        EXPECT_EQ(brenvo_.text(id_label11), label_before);
        ++warnings_;
        return Outcome::warning;
    }

    if (!brenvo_.sync()) {
        ADD_FAILURE() << "the program does not answer after a press";
        return Outcome::fault;
    }
    EXPECT_EQ(brenvo_.current_message_box().window, nullptr) << "a warning for an entry in range";
    const teldo::diag::Snapshot snapshot = diagnostics_.snapshot();
    ++requests_;
    if (snapshot.requests != requests_ || snapshot.recorded == 0) {
        ADD_FAILURE() << "expected exactly one request, the driver saw "
                      << snapshot.requests - (requests_ - 1);
        requests_ = snapshot.requests;
        return Outcome::fault;
    }
    const auto& last = snapshot.recent[snapshot.recorded - 1];
    const auto port = static_cast<std::uint16_t>(expected.port);
    ::teldo::test::expect_port_request(last, {!read, port, expected.value});
    if (read) {
        EXPECT_EQ(brenvo_.text(id_label11), byte_hex(ports_[port]).view()) << "port " << port;
    } else {
        ports_[port] = expected.value;
    }
    return Outcome::request;
}

}  // namespace brenvo::test
