// It is a caller of TELDOX.dll like any other: it loads the library and
// looks its exports up, as the kit's guide tells callers to, so that a
// missing or foreign TELDOX.dll is a message and exit code 1 rather than the
// loader's dialog box in the middle of an unattended batch file. It loads
// the one beside it, by its full path: by bare name a missing one would be
// looked for in the current folder and along PATH as well, where a planted
// copy would run with teldo.exe's rights (an administrator's, for the
// driver's set-up).
#include "ports.h"

#include <windows.h>

#include "output.h"
#include "teldo_protocol.h"
#include "teldox.h"

namespace teldo::console {
namespace {

enum Export { open_export, close_export, read_export, write_export, read_block_export, write_block_export, run_export };
constexpr const char* export_names[] = {"TELDOX_Open",      "TELDOX_Close",      "TELDOX_Read", "TELDOX_Write",
                                        "TELDOX_ReadBlock", "TELDOX_WriteBlock", "TELDOX_Run"};
constexpr int export_count = sizeof export_names / sizeof export_names[0];
constinit FARPROC exports[export_count] = {};
constinit bool device_open = false;

constexpr wchar_t library_name[] = L"TELDOX.dll";
constinit wchar_t library_path[MAX_PATH] = {};

// TELDOX.dll's full path, in teldo.exe's own folder, into library_path: 0,
// the system's error, or ERROR_FILENAME_EXCED_RANGE when teldo.exe's path
// or TELDOX.dll's does not fit in MAX_PATH (Windows XP cuts the first short
// and reports no error).
DWORD find_library() {
    const DWORD length = GetModuleFileNameW(nullptr, library_path, MAX_PATH);
    if (length == 0) return GetLastError();
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    DWORD at = length;
    while (at > 0 && library_path[at - 1] != L'\\') --at;
    if (at + sizeof library_name / sizeof library_name[0] > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    for (const wchar_t c : library_name) library_path[at++] = c;
    return 0;
}

template <typename Fn>
Fn bound(Export which) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(exports[which]));
}

// Loads TELDOX.dll and opens the device, the first time it is called; false,
// with the reason told, when either fails. TELDOX_Run is looked up only for
// a program, so that the other commands still work with a TELDOX.dll that
// has no programs.
bool open_device(bool for_program = false) {
    if (device_open) return true;
    DWORD error = find_library();
    const HMODULE library = error ? nullptr : LoadLibraryW(library_path);
    if (!library) {
        if (!error) error = GetLastError();
        begin_message();
        err.put("cannot load TELDOX.dll: ");
        put_system_error(error);
        end_message();
        hint(error == ERROR_FILENAME_EXCED_RANGE
                 ? "the path of teldo.exe's folder is too long for TELDOX.dll's (259 characters at most):"
                   " move the package to a folder with a shorter path"
             : error == ERROR_BAD_EXE_FORMAT
                 ? "that TELDOX.dll is of the other package: keep teldo.exe and TELDOX.dll of"
                   " one package together"
                 : "keep teldo.exe beside TELDOX.dll, in its package's folder");
        return false;
    }
    for (int i = 0; i < (for_program ? export_count : run_export); ++i) {
        exports[i] = GetProcAddress(library, export_names[i]);
        if (!exports[i]) {
            const DWORD error = GetLastError();
            begin_message();
            err.put("TELDOX.dll has no function ");
            err.put(export_names[i]);
            err.put(": ");
            put_system_error(error);
            end_message();
            return false;
        }
    }
    if (const DWORD error = bound<decltype(&TELDOX_Open)>(open_export)()) {
        begin_message();
        err.put("cannot open the card's device \\\\.\\TELDO: ");
        put_system_error(error);
        end_message();
        if (error == ERROR_FILE_NOT_FOUND)
            hint("the TELDO port driver is not installed or not started (sc query TELDO; driver\\README.txt)");
        else if (error == ERROR_SHARING_VIOLATION)
            hint("another program holds the card (Brenvo, or another program using TELDO.dll or"
                 " TELDOX.dll): close it, then run teldo again");
        else if (error == ERROR_ACCESS_DENIED)
            hint("this user may not open the card: run teldo as administrator, or ask"
                 " the administrator to let users open it (driver\\README.txt)");
        return false;
    }
    device_open = true;
    return true;
}

// Tells which request failed: "read of port 0300", "write of 5A to port
// 0300", "read of words at ports 0300-031F", "read of 4096 words at port
// 0300 (FIFO)"; then the system's error, and what to do where that is known.
void request_failed(const Command& command, bool write, std::uint16_t port, std::uint32_t count, DWORD error) {
    const char* const kind = command.width == 1 ? "bytes" : command.width == 2 ? "words" : "dwords";
    begin_message();
    err.put(write ? "write of " : "read of ");
    if (count == 1 && !command.fifo) {
        if (write) {
            err.hex(load_element(elements, command.width), 2 * command.width);
            err.put(" to ");
        } else if (command.width != 1) {
            err.put(command.width == 2 ? "a word at " : "a dword at ");
        }
        err.put("port ");
        err.hex(port, 4);
    } else if (command.fifo) {
        err.decimal(count);
        err.put(' ');
        err.put(kind);
        err.put(" at port ");
        err.hex(port, 4);
        err.put(" (FIFO)");
    } else {
        err.put(kind);
        err.put(" at ports ");
        err.hex(port, 4);
        err.put('-');
        err.hex(port + count * command.width - 1, 4);
    }
    err.put(" failed: ");
    put_system_error(error);
    end_message();
    if (error == ERROR_ACCESS_DENIED)
        hint("the driver refused it: a port is outside the ports the administrator opened for the"
             " card (driver\\README.txt), or another program holds the card");
    else if (error == ERROR_INVALID_FUNCTION && command.width != 1)
        hint("this driver knows no word or dword requests: they need the TELDO port driver of this"
             " package (driver\\README.txt)");
}

// Reads or writes the command's elements: a single one alone, more in
// blocks of at most 64 KiB; false at the first failure, told.
bool transfer(const Command& command, bool write) {
    if (command.count == 1 && !command.fifo) {
        DWORD error;
        if (write) {
            error = bound<decltype(&TELDOX_Write)>(write_export)(command.first, command.width,
                                                                 load_element(elements, command.width));
        } else {
            unsigned long value = 0;
            error = bound<decltype(&TELDOX_Read)>(read_export)(command.first, command.width, &value);
            store_element(elements, command.width, value);
        }
        if (error != 0) request_failed(command, write, command.first, 1, error);
        return error == 0;
    }
    const std::uint32_t per_request = max_block_bytes / command.width;
    for (std::uint32_t done = 0; done < command.count; done += per_request) {
        const std::uint32_t count = command.count - done < per_request ? command.count - done : per_request;
        const auto port = static_cast<std::uint16_t>(command.fifo ? command.first : command.first + done * command.width);
        std::uint8_t* const data = elements + done * command.width;
        const DWORD error =
            write ? bound<decltype(&TELDOX_WriteBlock)>(write_block_export)(port, command.width, command.fifo, data, count)
                  : bound<decltype(&TELDOX_ReadBlock)>(read_block_export)(port, command.width, command.fifo, data, count);
        if (error != 0) {
            request_failed(command, write, port, count, error);
            // The requests before this one have reached the card.
            if (write && done != 0) {
                begin_message();
                err.decimal(done);
                err.put(" of the ");
                err.decimal(command.count);
                err.put(" elements were written before it, in earlier requests");
                end_message();
            }
            return false;
        }
    }
    return true;
}

// `count` elements from `at`, separated by spaces, each of its width's digits.
void put_elements(const std::uint8_t* at, std::uint32_t count, std::uint32_t width) {
    for (std::uint32_t i = 0; i < count; ++i, at += width) {
        if (i != 0) out.put(' ');
        out.hex(load_element(at, width), 2 * static_cast<int>(width));
    }
    out.put("\r\n");
}

// A program's operations as TELDOX_Run takes them, and its results.
constinit TELDOX_OP run_operations[program::max_operations] = {};
constinit unsigned long run_results[program::max_operations] = {};

}  // namespace

bool run(const Program& checked) {
    if (!open_device(true)) return false;
    for (std::uint32_t i = 0; i < checked.count; ++i) {
        const program::Operation& o = checked.operations[i];
        run_operations[i] = {o.op, o.width, o.port, o.a, o.b, o.c};
    }
    unsigned long done = 0;
    const DWORD error = bound<decltype(&TELDOX_Run)>(run_export)(run_operations, checked.count, run_results, &done);
    if (error != 0 && !(error == ERROR_TIMEOUT && done < checked.count)) {
        begin_message();
        err.put("the program of ");
        err.decimal(checked.count);
        err.put(checked.count == 1 ? " operation failed: " : " operations failed: ");
        put_system_error(error);
        end_message();
        if (error == ERROR_ACCESS_DENIED)
            hint("the driver refused it before its first cycle: a port in it is outside the ports the"
                 " administrator opened for the card (driver\\README.txt), or another program holds the card");
        else if (error == ERROR_INVALID_FUNCTION)
            hint("this driver knows no port programs: they need the TELDO port driver of this package"
                 " (driver\\README.txt)");
        return false;
    }
    // Each read, modify and poll that ran: its port and the value it read.
    for (std::uint32_t i = 0; i < done; ++i) {
        const program::Operation& o = checked.operations[i];
        if (o.op != program::op_read && o.op != program::op_modify && o.op != program::op_poll) continue;
        out.hex(o.port, 4);
        out.put(": ");
        out.hex(run_results[i], 2 * o.width);
        out.put("\r\n");
    }
    out.flush();
    if (error == 0) return true;
    // The poll that timed out ended the program there.
    const program::Operation& poll = checked.operations[done];
    line_number = checked.lines[done];
    begin_message();
    err.put("poll of port ");
    err.hex(poll.port, 4);
    err.put(" timed out after ");
    err.decimal(poll.c);
    err.put(" us: it last read ");
    err.hex(run_results[done], 2 * poll.width);
    err.put(", not ");
    err.hex(poll.b, 2 * poll.width);
    err.put(" under mask ");
    err.hex(poll.a, 2 * poll.width);
    end_message();
    line_number = 0;
    if (done + 1 < checked.count) hint("the operations after it did not run");
    return false;
}

bool execute(const Command& command) {
    if (!open_device()) return false;
    if (!transfer(command, command.verb == Verb::write)) return false;
    if (command.verb == Verb::read) put_elements(elements, command.count, command.width);
    if (command.verb == Verb::dump)
        for (std::uint32_t done = 0; done < command.count; done += 16) {
            out.hex(command.first + done, 4);
            out.put(": ");
            put_elements(elements + done, command.count - done < 16 ? command.count - done : 16, 1);
        }
    out.flush();
    return true;
}

void close_device() {
    if (device_open) bound<decltype(&TELDOX_Close)>(close_export)();
    device_open = false;
}

}  // namespace teldo::console
