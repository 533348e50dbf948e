// The driver's files for its set-up: where the package's driver and the
// installed one are, what a service's registration names, whose a driver
// file is, and the installed file replaced by renames that lose nothing,
// from the package's file held open throughout.
#pragma once

#include <windows.h>

#include <cstddef>

namespace teldo::console::setup {

// Paths of at most MAX_PATH characters, as the calls below take them, and
// room for a suffix.
struct Path {
    wchar_t text[MAX_PATH + 32];
};

// Puts `text` into `path` from `at` on, and its NUL; where it ends. A text
// that does not fit is never cut short: `path` is then left empty and the
// answer is 0 (the error ERROR_FILENAME_EXCED_RANGE).
std::size_t put_path(Path& path, std::size_t at, const wchar_t* text);
// `path` with `suffix` after it, into `out`; false when it does not fit.
bool with_suffix(const Path& path, const wchar_t* suffix, Path& out);
bool file_exists(const Path& path);
// Deletes a file; one that is READONLY has the attribute cleared first.
bool delete_file(const wchar_t* path);

// This package's driver: driver\teldo.sys beside teldo.exe; false, with the
// error, when that cannot be told.
bool package_driver(Path& path);
// Where Windows keeps it: %SystemRoot%\System32\drivers\teldo.sys; false,
// with the error, when that cannot be told. A 32-bit program on 64-bit
// Windows must reach it with the file system's redirection off.
bool installed_driver(Path& path);

// A service's image path as a file name: "\SystemRoot\...", "%SystemRoot%\..."
// and a path relative to the Windows folder (as regedt32 registrations have
// them) start at the Windows folder, "\??\C:\..." is "C:\...". False for a
// form that names no file of a drive (\Device\...).
bool image_file(const wchar_t* image, Path& file);

// The file version of `path`, or false.
bool file_version(const wchar_t* path, DWORD& high, DWORD& low);

// Whose driver file `path` is: ours (our product name), another maker's (a
// version resource naming another product, or none), or unknown (it cannot
// be read). A missing file is `missing`.
enum class Maker { ours, another, unknown, missing };
Maker maker_of(const wchar_t* path);

// 32 or 64 for a driver file made for the x86 or the x64 processor, 0 when
// that cannot be told.
int driver_bits(const wchar_t* path);

// What a check of a copy finds besides a Windows error: bytes that are not
// the package's. It has bit 29 set, which Windows leaves to programs, so no
// system error is this number.
constexpr DWORD differs_from_package = 0x20000001;

// This package's driver file, opened once and held from its check to the
// last check of its copy, sharing only reading: while it is held no program
// can write, replace, rename or delete it, so the file checked is the file
// copied.
class PackageFile {
public:
    PackageFile() = default;
    ~PackageFile();
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;
    // 0, or why it cannot be opened (ERROR_SHARING_VIOLATION: a program has
    // it open for writing).
    DWORD open(const Path& path);
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The installed driver's file replaced by the package's. The new file is
// copied beside it first (teldo.sys.new, with no READONLY attribute from a
// CD), flushed, and checked against the package's file; then the old one is
// renamed to teldo.sys.previous and the new one onto its name: a rename
// works while the old image is still mapped, and nothing is overwritten,
// neither in place nor by a rename. The old file goes only once the new
// driver runs.
class Replacement {
public:
    Replacement(const PackageFile& source, const Path& target);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    // The names beside the target fit (else nothing may proceed).
    bool named() const { return named_; }
    // A teldo.sys.previous from an install that could not put it back: it
    // may be the only copy of the old driver, so nothing proceeds past it.
    bool stale_previous() const { return file_exists(previous_); }
    // 0, or the error (or differs_from_package) of the step named in `step`.
    DWORD replace(const char*& step);
    // The file in place compared with the package's, before the driver
    // starts: 0, differs_from_package, or the error that stopped reading.
    DWORD check_installed() const;
    // The install worked: the old file deleted. 0, or the error.
    DWORD keep();
    // Back to the old file (or to none), by renaming; 0 when verified, else
    // the error, with what is left said in `left`.
    DWORD put_back(const char*& left);
    const Path& previous() const { return previous_; }

private:
    DWORD copy();
    DWORD close_staged();

    const PackageFile& source_;
    const Path& target_;
    Path staged_, previous_;
    HANDLE staged_file_ = INVALID_HANDLE_VALUE;
    bool named_ = false, had_file_ = false, created_staged_ = false, moved_old_ = false, placed_new_ = false;
};

// Whose driver file `path` is by its version resource, as maker_of tells,
// but ours only when it names both our product and our company.
Maker maker_by_resource(const wchar_t* path);

}  // namespace teldo::console::setup
