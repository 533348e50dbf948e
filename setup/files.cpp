#include "files.h"

#include <type_traits>

#include "version.h"

namespace teldo::console::setup {
namespace {

// VERSION.dll is not one of the DLLs that Windows always loads from the
// system folder: imported by name, a copy planted beside teldo.exe would
// run with an administrator's rights. So it is loaded by its full path in
// the system folder, before any redirection of that folder is turned off,
// and with the DLLs it imports looked for in that folder first, not in
// teldo.exe's (LOAD_WITH_ALTERED_SEARCH_PATH).
struct VersionApi {
    DWORD(WINAPI* size)(LPCWSTR, LPDWORD);
    BOOL(WINAPI* info)(LPCWSTR, DWORD, DWORD, LPVOID);
    BOOL(WINAPI* query)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
};
constinit VersionApi version_api{};
constinit bool version_api_tried = false;

const VersionApi* load_version_api() {
    if (!version_api_tried) {
        version_api_tried = true;
        Path path;
        const UINT length = GetSystemDirectoryW(path.text, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || !put_path(path, length, L"\\version.dll")) return nullptr;
        if (const HMODULE dll = LoadLibraryExW(path.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
            auto bind = [dll](auto& function, const char* name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                    reinterpret_cast<void*>(GetProcAddress(dll, name)));
            };
            bind(version_api.size, "GetFileVersionInfoSizeW");
            bind(version_api.info, "GetFileVersionInfoW");
            bind(version_api.query, "VerQueryValueW");
        }
    }
    return version_api.size && version_api.info && version_api.query ? &version_api : nullptr;
}

constinit BYTE version_data[8192] = {};

// The version resource of `path` into version_data: 0, or why not
// (ERROR_RESOURCE_TYPE_NOT_FOUND and its kin for a file without one).
DWORD read_version(const wchar_t* path) {
    const VersionApi* api = load_version_api();
    if (!api) return ERROR_MOD_NOT_FOUND;
    DWORD ignored = 0;
    const DWORD size = api->size(path, &ignored);
    if (size == 0) return GetLastError() ? GetLastError() : ERROR_RESOURCE_TYPE_NOT_FOUND;
    if (size > sizeof version_data) return ERROR_INSUFFICIENT_BUFFER;
    return api->info(path, 0, size, version_data) ? 0 : GetLastError();
}

bool no_version_resource(DWORD error) {
    return error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT || error == ERROR_BAD_FORMAT;
}

// A file operation on `path`; refused for a READONLY attribute there, it is
// tried once more with the attribute cleared.
template <class Operation>
bool despite_readonly(const wchar_t* path, Operation operation) {
    if (operation()) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // No attribute left is FILE_ATTRIBUTE_NORMAL, which must stand alone.
    const DWORD cleared = attributes & ~FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(path, cleared ? cleared : FILE_ATTRIBUTE_NORMAL) && operation();
}

// The old file renamed back over the new one.
bool rename_over(const wchar_t* from, const wchar_t* to) {
    return despite_readonly(to, [from, to] { return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != 0; });
}

// Room to read files in, a chunk of each of two at a time.
constinit BYTE chunk_one[4096] = {}, chunk_other[4096] = {};

DWORD rewind(HANDLE file) {
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ? GetLastError() : 0;
}

// Whether two open files hold the same bytes, both read from their start:
// 0, differs_from_package, or the error that stopped reading (a file that
// cannot be read is not said to differ).
DWORD compare(HANDLE one, HANDLE other) {
    if (const DWORD error = rewind(one)) return error;
    if (const DWORD error = rewind(other)) return error;
    for (;;) {
        DWORD read_one = 0, read_other = 0;
        if (!ReadFile(one, chunk_one, sizeof chunk_one, &read_one, nullptr) ||
            !ReadFile(other, chunk_other, sizeof chunk_other, &read_other, nullptr))
            return GetLastError();
        if (read_one != read_other) return differs_from_package;
        for (DWORD i = 0; i < read_one; ++i)
            if (chunk_one[i] != chunk_other[i]) return differs_from_package;
        if (read_one == 0) return 0;
    }
}

}  // namespace

std::size_t put_path(Path& path, std::size_t at, const wchar_t* text) {
    constexpr std::size_t last = sizeof path.text / sizeof path.text[0] - 1;
    std::size_t end = at;
    for (; end < last && text[end - at]; ++end) path.text[end] = text[end - at];
    if (end > last || text[end - at]) {
        path.text[0] = 0;
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    path.text[end] = 0;
    return end;
}

bool with_suffix(const Path& path, const wchar_t* suffix, Path& out) {
    const std::size_t end = put_path(out, 0, path.text);
    return end != 0 && put_path(out, end, suffix) != 0;
}

bool file_exists(const Path& path) { return GetFileAttributesW(path.text) != INVALID_FILE_ATTRIBUTES; }

bool delete_file(const wchar_t* path) {
    return despite_readonly(path, [path] { return DeleteFileW(path) != 0; });
}

bool package_driver(Path& path) {
    const DWORD length = GetModuleFileNameW(nullptr, path.text, MAX_PATH);
    if (length == 0) return false;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    DWORD folder = length;
    while (folder > 0 && path.text[folder - 1] != L'\\') --folder;
    return put_path(path, folder, L"driver\\teldo.sys") != 0;
}

bool installed_driver(Path& path) {
    load_version_api();  // while System32 is still this program's own
    const UINT length = GetSystemDirectoryW(path.text, MAX_PATH);
    if (length == 0) return false;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return put_path(path, length, L"\\drivers\\teldo.sys") != 0;
}

bool image_file(const wchar_t* image, Path& file) {
    auto starts = [image](const wchar_t* prefix) {
        std::size_t i = 0;
        while (prefix[i] && (image[i] | 0x20) == (prefix[i] | 0x20)) ++i;
        return prefix[i] == 0 ? i : 0;
    };
    std::size_t skip = 0, at = 0;
    bool from_windows = false;
    if (image[0] == L'\\' && image[1] == L'?' && image[2] == L'?' && image[3] == L'\\') {
        skip = 4;
    } else if (const std::size_t root = starts(L"\\SystemRoot\\")) {
        skip = root, from_windows = true;
    } else if (const std::size_t root = starts(L"%SystemRoot%\\")) {
        skip = root, from_windows = true;
    } else if (image[0] == L'\\' || image[0] == L'%') {
        return false;  // \Device\..., or a variable this does not expand
    } else {
        from_windows = image[1] != L':';
    }
    if (from_windows) {
        at = GetWindowsDirectoryW(file.text, MAX_PATH);
        if (at == 0 || at >= MAX_PATH) return false;
        file.text[at++] = L'\\';
    }
    return put_path(file, at, image + skip) != 0;
}

bool file_version(const wchar_t* path, DWORD& high, DWORD& low) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (read_version(path) != 0 ||
        !version_api.query(version_data, L"\\", reinterpret_cast<void**>(&info), &length) || !info)
        return false;
    high = info->dwFileVersionMS;
    low = info->dwFileVersionLS;
    return true;
}

// Ours name their product in their one string table.
Maker maker_of(const wchar_t* path) {
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Maker::missing : Maker::unknown;
    }
    const DWORD error = read_version(path);
    if (error != 0) return no_version_resource(error) ? Maker::another : Maker::unknown;
    wchar_t* product = nullptr;
    UINT length = 0;
    if (!version_api.query(version_data, L"\\StringFileInfo\\080404B0\\ProductName",
                           reinterpret_cast<void**>(&product), &length) ||
        !product)
        return Maker::another;
    const wchar_t ours[] = L"" BRENVO_PRODUCT_NAME;
    for (UINT i = 0; i < sizeof ours / sizeof ours[0]; ++i)
        if (i >= length + 1 || product[i] != ours[i]) return Maker::another;
    return Maker::ours;
}

int driver_bits(const wchar_t* path) {
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BYTE head[1024] = {};
    DWORD read = 0;
    const bool got = ReadFile(file, head, sizeof head, &read, nullptr);
    CloseHandle(file);
    if (!got || read < 0x40) return 0;
    const DWORD pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<DWORD>(head[0x3F]) << 24;
    if (pe > read - 6 || head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] || head[pe + 3]) return 0;
    const unsigned machine = head[pe + 4] | head[pe + 5] << 8;
    return machine == IMAGE_FILE_MACHINE_I386 ? 32 : machine == IMAGE_FILE_MACHINE_AMD64 ? 64 : 0;
}

PackageFile::~PackageFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

DWORD PackageFile::open(const Path& path) {
    handle_ = CreateFileW(path.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

Replacement::Replacement(const PackageFile& source, const Path& target) : source_(source), target_(target) {
    named_ = with_suffix(target, L".new", staged_) && with_suffix(target, L".previous", previous_);
}

Replacement::~Replacement() { close_staged(); }

DWORD Replacement::close_staged() {
    if (staged_file_ == INVALID_HANDLE_VALUE) return 0;
    const bool closed = CloseHandle(staged_file_);
    staged_file_ = INVALID_HANDLE_VALUE;
    return closed ? 0 : GetLastError();
}

// The package's file into teldo.sys.new, a file of this install's own (a
// leftover of one that was cut short is deleted first), held without
// sharing until it is checked, and on the disk before any rename.
DWORD Replacement::copy() {
    if (file_exists(staged_) && !delete_file(staged_.text)) return GetLastError();
    staged_file_ = CreateFileW(staged_.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (staged_file_ == INVALID_HANDLE_VALUE) return GetLastError();
    created_staged_ = true;
    if (const DWORD error = rewind(source_.handle())) return error;
    for (;;) {
        DWORD read = 0, written = 0;
        if (!ReadFile(source_.handle(), chunk_one, sizeof chunk_one, &read, nullptr)) return GetLastError();
        if (read == 0) break;
        if (!WriteFile(staged_file_, chunk_one, read, &written, nullptr)) return GetLastError();
        if (written != read) return ERROR_WRITE_FAULT;
    }
    return FlushFileBuffers(staged_file_) ? 0 : GetLastError();
}

DWORD Replacement::replace(const char*& step) {
    step = "copying the driver into the system's drivers folder";
    const DWORD attributes = GetFileAttributesW(target_.text);
    if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() != ERROR_FILE_NOT_FOUND) return GetLastError();
    had_file_ = attributes != INVALID_FILE_ATTRIBUTES;
    if (const DWORD error = copy()) return error;
    step = "checking the copy, system32\\drivers\\teldo.sys.new, against the package's driver\\teldo.sys";
    if (const DWORD error = compare(staged_file_, source_.handle())) return error;
    if (const DWORD error = close_staged()) return error;
    if (had_file_) {
        // Never over another teldo.sys.previous: that may be the only copy
        // of an older driver.
        step = "setting the installed driver's file aside";
        if (!MoveFileExW(target_.text, previous_.text, 0)) return GetLastError();
        moved_old_ = true;
    }
    step = "putting the new driver's file in place";
    if (!MoveFileExW(staged_.text, target_.text, 0)) return GetLastError();
    placed_new_ = true;
    return 0;
}

DWORD Replacement::check_installed() const {
    const HANDLE file =
        CreateFileW(target_.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    const DWORD compared = compare(file, source_.handle());
    if (!CloseHandle(file) && compared == 0) return GetLastError();
    return compared;
}

DWORD Replacement::keep() {
    if (moved_old_ && !delete_file(previous_.text)) return GetLastError();
    return 0;
}

DWORD Replacement::put_back(const char*& left) {
    left = nullptr;
    // A copy that a failed step left open; whether it could be closed shows
    // in its deletion below.
    close_staged();
    if (moved_old_) {
        // The old file back onto its name, over the new one.
        if (!rename_over(previous_.text, target_.text)) {
            left = "the old driver is system32\\drivers\\teldo.sys.previous: rename it to teldo.sys";
            return GetLastError();
        }
    } else if (placed_new_ && !had_file_ && !delete_file(target_.text)) {
        left = "delete system32\\drivers\\teldo.sys, which no service uses now";
        return GetLastError();
    }
    if (created_staged_ && !placed_new_ && !delete_file(staged_.text)) {
        left = "delete system32\\drivers\\teldo.sys.new";
        return GetLastError();
    }
    return 0;
}

Maker maker_by_resource(const wchar_t* path) {
    const Maker maker = maker_of(path);
    if (maker != Maker::ours) return maker;
    // maker_of has just read the file's version resource.
    wchar_t* company = nullptr;
    UINT length = 0;
    if (!version_api.query(version_data, L"\\StringFileInfo\\080404B0\\CompanyName",
                           reinterpret_cast<void**>(&company), &length) ||
        !company)
        return Maker::another;
    const wchar_t ours[] = L"" BRENVO_PRODUCT_NAME " developers";
    for (UINT i = 0; i < sizeof ours / sizeof ours[0]; ++i)
        if (i >= length + 1 || company[i] != ours[i]) return Maker::another;
    return Maker::ours;
}

}  // namespace teldo::console::setup
