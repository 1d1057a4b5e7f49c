// Files on Windows: the program's UTF-8 paths become UTF-16 for the wide-character calls (never
// the local code page, which cannot name every file), reads are positioned with OVERLAPPED
// offsets on one shared handle, and a new file takes its name with MoveFileExW.

#include "platform/file.h"

#include "platform/windows/win32_internal.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace vidora {

namespace {

// ReadFile and WriteFile take a 32-bit count: larger transfers go in steps of this much.
constexpr DWORD kMaxTransferBytes = 1u << 30;
// Tries at a free temporary name before giving up; each name is new with high likelihood.
constexpr int kTemporaryNameTries = 64;

void tell(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

HANDLE asHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

using win32::utf8FromWide;
using win32::wideFromUtf8;

std::wstring systemPath(const std::string& utf8) {
    std::wstring wide = wideFromUtf8(utf8);
    if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return wide;
    }
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), n, full.data(), nullptr));
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// A system error in the words the program uses on every system: the common ones as a POSIX
// system says them, the others as Windows does.
std::string errorText(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return "No such file or directory";
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return "Permission denied";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "No space left on device";
        case ERROR_FILENAME_EXCED_RANGE:
            return "File name too long";
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return "File exists";
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return "the file is in use by another program";
        default:
            break;
    }
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words(text != nullptr ? text : L"", n);
    LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' ||
                              words.back() == L'.' || words.back() == L' ')) {
        words.pop_back();
    }
    return words.empty() ? "system error " + std::to_string(code) : utf8FromWide(words);
}

// Six characters for a temporary name, different in every call and every process.
std::string uniqueSuffix() {
    static std::atomic<uint32_t> counter{0};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t x = static_cast<uint64_t>(now.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32) ^
                 (uint64_t{counter.fetch_add(1)} * 0x9E3779B97F4A7C15ull);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
        suffix += kLetters[x % 36];
        x /= 36;
    }
    return suffix;
}

}  // namespace

void File::close() {
    if (handle_ != -1) {
        CloseHandle(asHandle(handle_));
        handle_ = -1;
    }
}

bool File::open(const std::string& path, std::string* reason) {
    close();
    if (path.empty()) {
        tell(reason, "no file named");
        return false;
    }
    const std::wstring name = systemPath(path);
    // A folder cannot be opened for reading at all here: it is told apart first.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        tell(reason, "it is a folder");
        return false;
    }
    // Shared for writing and deleting: a camera may still be writing the file, and a recording
    // being played never keeps anyone from moving it away.
    const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        tell(reason, errorText(GetLastError()));
        return false;
    }
    // Devices (NUL, CON) and pipes are no recordings.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        tell(reason, "it is not a regular file");
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool File::isOpen() const {
    return handle_ != -1;
}

size_t File::readAt(uint64_t offset, void* into, size_t n) const {
    size_t done = 0;
    while (done < n) {
        const uint64_t at = offset + done;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(n - done, kMaxTransferBytes));
        DWORD got = 0;
        if (!ReadFile(asHandle(handle_), static_cast<uint8_t*>(into) + done, ask, &got, &where) ||
            got == 0) {
            break;  // the end of the file (ERROR_HANDLE_EOF) or an error
        }
        done += got;
    }
    return done;
}

uint64_t File::size() const {
    LARGE_INTEGER bytes{};
    if (handle_ == -1 || !GetFileSizeEx(asHandle(handle_), &bytes) || bytes.QuadPart < 0) {
        return 0;
    }
    return static_cast<uint64_t>(bytes.QuadPart);
}

FileReplacement::~FileReplacement() {
    close();
    if (!temporary_.empty() && !committed_) {
        DeleteFileW(systemPath(temporary_).c_str());
    }
}

bool FileReplacement::create(const std::string& target, const std::string& stem,
                             std::string* reason) {
    target_ = target;
    const size_t slash = target.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
    const char separator = slash == std::string::npos ? '\\' : target[slash];
    DWORD error = ERROR_FILE_EXISTS;
    for (int i = 0; i < kTemporaryNameTries && error == ERROR_FILE_EXISTS; ++i) {
        const std::string name = folder + separator + "." + stem + uniqueSuffix();
        // CREATE_NEW: fail rather than reuse a name that someone else's file already has.
        const HANDLE h = CreateFileW(systemPath(name).c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            temporary_ = name;
            handle_ = reinterpret_cast<intptr_t>(h);
            return true;
        }
        error = GetLastError();
    }
    tell(reason, errorText(error));
    return false;
}

bool FileReplacement::write(const void* bytes, size_t n) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    for (size_t done = 0; failure_.empty() && done < n;) {
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(n - done, kMaxTransferBytes));
        DWORD wrote = 0;
        if (!WriteFile(asHandle(handle_), from + done, ask, &wrote, nullptr) || wrote == 0) {
            failure_ = errorText(GetLastError());
        }
        done += wrote;
    }
    return failure_.empty();
}

bool FileReplacement::close() {
    if (handle_ != -1) {
        if (!CloseHandle(asHandle(handle_)) && failure_.empty()) {
            failure_ = errorText(GetLastError());
        }
        handle_ = -1;
    }
    return failure_.empty();
}

FileReplacement::Outcome FileReplacement::commit(bool replace, std::string* reason) {
    if (temporary_.empty() || !close()) {
        tell(reason, temporary_.empty() ? "no file was made" : failure_);
        return Outcome::Failed;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move fails where a file has the name: the check and
    // the move are one step.
    if (!MoveFileExW(systemPath(temporary_).c_str(), systemPath(target_).c_str(),
                     replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        const DWORD error = GetLastError();
        if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
            return Outcome::TargetExists;
        }
        tell(reason, errorText(error));
        return Outcome::Failed;
    }
    committed_ = true;
    return Outcome::Done;
}

std::filesystem::path pathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(wideFromUtf8(utf8));
}

std::string utf8FromPath(const std::filesystem::path& path) {
    return utf8FromWide(path.native());
}

}  // namespace vidora
