#include <platform/Files.h>

#include "SystemError.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <aclapi.h>

namespace platform {

namespace {

std::wstring wide(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

HANDLE native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

File::Failure failureOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return File::Failure::Missing;
    case ERROR_ACCESS_DENIED: return File::Failure::Denied;
    case ERROR_CANT_RESOLVE_FILENAME: return File::Failure::Link;
    case ERROR_DIRECTORY: return File::Failure::NotFolder;
    default: return File::Failure::Other;
  }
}

// CON, NUL, COM1, LPT1 (with any extension) name a device in every folder:
// opening one would open the device. Never opened.
bool isDeviceName(const QString& name) {
  const QString base = name.section(u'.', 0, 0).trimmed().toUpper();
  static const QStringList fixed{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                 QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
  if (fixed.contains(base)) return true;
  if (base.size() != 4 || !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))) return false;
  const QChar digit = base.at(3);
  return (digit >= u'0' && digit <= u'9') || digit == QChar(0xB9) || digit == QChar(0xB2) || digit == QChar(0xB3);
}

// A path in the device namespace (\\.\COM1, //./pipe/x) is no file.
bool isDevicePath(const QString& path) {
  const QString p = QDir::fromNativeSeparators(path);
  return p.startsWith(QLatin1String("//./")) || p.startsWith(QLatin1String("//?/GLOBALROOT"), Qt::CaseInsensitive);
}

// The name the system resolves an open file or folder to, links and
// junctions followed; empty when it cannot say.
QString finalName(HANDLE handle) {
  std::vector<wchar_t> name(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, name.data(), DWORD(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < name.size()) return QString::fromWCharArray(name.data(), int(n));
    name.resize(n + 1);
  }
  return {};
}

// Whether the open file is where its path below `base` says, no link or
// junction on the way: its final name is the folder's final name and the
// path below it. Wine shows a link of the Linux file system as no reparse
// point, but names the file by where it really is. True when the system
// cannot say.
bool reachedDirectly(const QString& base, const QStringList& below, HANDLE file) {
  HANDLE folder = ::CreateFileW(wide(base).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return true;
  const QString start = finalName(folder);
  ::CloseHandle(folder);
  const QString reached = finalName(file);
  if (start.isEmpty() || reached.isEmpty()) return true;
  QString expected = start;
  for (const QString& part : below) expected += u'\\' + part;
  return reached.compare(expected, Qt::CaseInsensitive) == 0;
}

// Windows locks byte ranges, and a locked range is closed to every other
// handle, readers included. The lock therefore sits far past any data a
// file will ever hold: it stops only those who ask for the same lock, as
// flock() does on Linux.
OVERLAPPED lockRange() {
  OVERLAPPED at{};
  at.OffsetHigh = 0x40000000;  // 2^62
  return at;
}

// Handles opened to append: each write goes to the end of the file. Kept
// here, since the handle is all a File holds.
std::mutex appendMutex;
std::set<std::intptr_t> appendHandles;

bool isAppending(std::intptr_t handle) {
  const std::lock_guard<std::mutex> lock(appendMutex);
  return appendHandles.count(handle) != 0;
}

void closeHandle(std::intptr_t handle) {
  {
    const std::lock_guard<std::mutex> lock(appendMutex);
    appendHandles.erase(handle);
  }
  const DWORD saved = ::GetLastError();
  ::CloseHandle(native(handle));
  ::SetLastError(saved);
}

bool writeAll(HANDLE handle, const QByteArray& bytes, bool atEnd) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = DWORD(std::min<qsizetype>(bytes.size() - done, qsizetype(1) << 30));
    DWORD n = 0;
    // Offset all ones: at the end of the file, as the system sees it then.
    OVERLAPPED end{};
    end.Offset = end.OffsetHigh = 0xFFFFFFFF;
    if (!::WriteFile(handle, bytes.constData() + done, chunk, &n, atEnd ? &end : nullptr)) return false;
    if (n == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), failure_(other.failure_), error_(other.error_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (isOpen()) closeHandle(handle_);
    handle_ = std::exchange(other.handle_, -1);
    failure_ = other.failure_;
    error_ = other.error_;
  }
  return *this;
}

File::~File() {
  if (isOpen()) closeHandle(handle_);
}

bool File::failed() {
  error_ = int(::GetLastError());
  return false;
}

QString File::errorText() const { return systemErrorText(DWORD(error_)); }

qint64 File::size() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(native(handle_), &size)) {
    failed();
    return -1;
  }
  return size.QuadPart;
}

std::optional<char> File::byteAt(qint64 offset) {
  char byte = 0;
  DWORD n = 0;
  OVERLAPPED at{};
  at.Offset = DWORD(quint64(offset) & 0xFFFFFFFF);
  at.OffsetHigh = DWORD(quint64(offset) >> 32);
  if (!::ReadFile(native(handle_), &byte, 1, &n, &at) || n != 1) {
    if (n == 0 && ::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_HANDLE_EOF);
    failed();
    return std::nullopt;
  }
  return byte;
}

std::optional<QByteArray> File::readAll() {
  QByteArray bytes;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    OVERLAPPED at{};
    at.Offset = DWORD(quint64(bytes.size()) & 0xFFFFFFFF);
    at.OffsetHigh = DWORD(quint64(bytes.size()) >> 32);
    if (!::ReadFile(native(handle_), buffer, sizeof buffer, &n, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return bytes;
      failed();
      return std::nullopt;
    }
    if (n == 0) return bytes;
    bytes.append(buffer, qsizetype(n));
  }
}

bool File::write(const QByteArray& bytes) { return writeAll(native(handle_), bytes, isAppending(handle_)) || failed(); }

bool File::sync() { return ::FlushFileBuffers(native(handle_)) || failed(); }

bool File::truncate(qint64 size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  return ::SetFileInformationByHandle(native(handle_), FileEndOfFileInfo, &end, sizeof end) || failed();
}

// LockFileEx asked not to wait, again every 10 ms: a blocking LockFileEx on
// a synchronous handle could not be ended at the limit or by a stop request.
// The locks are held for a read-modify-write of a small file, so a waiter
// gets its turn.
bool File::lockWithin(std::chrono::milliseconds limit, const std::function<bool()>& stopped) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + limit;
  for (;;) {
    OVERLAPPED at = lockRange();
    if (::LockFileEx(native(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return failed();
    const auto now = steady_clock::now();
    if (now >= deadline || (stopped && stopped())) {
      ::SetLastError(ERROR_LOCK_VIOLATION);
      return failed();
    }
    ::Sleep(DWORD(std::clamp<long long>(duration_cast<milliseconds>(deadline - now).count(), 1, 10)));
  }
}

void File::unlock() {
  OVERLAPPED at = lockRange();
  ::UnlockFileEx(native(handle_), 0, 1, 0, &at);
}

bool File::close() {
  if (!isOpen()) return true;
  const std::intptr_t handle = std::exchange(handle_, -1);
  {
    const std::lock_guard<std::mutex> lock(appendMutex);
    appendHandles.erase(handle);
  }
  return ::CloseHandle(native(handle)) || failed();
}

File openRegular(const QString& folder, const QString& path, const OpenMode& mode) {
  File file;
  std::vector<HANDLE> held;  // the folders on the way
  const auto fail = [&file, &held](File::Failure failure, DWORD code) {
    for (HANDLE h : held) ::CloseHandle(h);
    file.error_ = int(code);
    file.failure_ = failure;
    return std::move(file);
  };

  QString full = path;
  QString name = QFileInfo(path).fileName();
  if (!folder.isEmpty()) {
    const QStringList parts = QDir::fromNativeSeparators(path).split(u'/', Qt::SkipEmptyParts);
    if (parts.isEmpty()) return fail(File::Failure::Other, ERROR_INVALID_NAME);
    const DWORD top = ::GetFileAttributesW(wide(folder).c_str());
    if (top == INVALID_FILE_ATTRIBUTES) return fail(File::Failure::Other, ::GetLastError());
    if (!(top & FILE_ATTRIBUTE_DIRECTORY)) return fail(File::Failure::Other, ERROR_DIRECTORY);
    full = QDir::fromNativeSeparators(folder);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
      full += u'/' + parts[i];
      // Each folder on the way is opened as itself, not as what a link or
      // junction points to, and held without leave to delete or rename it
      // until the file is open: none can be swapped for a link meanwhile.
      HANDLE dir = ::CreateFileW(wide(full).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (dir == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return fail(error == ERROR_DIRECTORY ? File::Failure::NotFolder : failureOf(error), error);
      }
      held.push_back(dir);
      BY_HANDLE_FILE_INFORMATION info{};
      if (!::GetFileInformationByHandle(dir, &info)) return fail(File::Failure::Other, ::GetLastError());
      if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return fail(File::Failure::Link, ERROR_CANT_RESOLVE_FILENAME);
      if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return fail(File::Failure::NotFolder, ERROR_DIRECTORY);
    }
    name = parts.last();
    full += u'/' + name;
  }
  if (isDeviceName(name) || isDevicePath(full)) return fail(File::Failure::NotRegular, ERROR_BAD_FILE_TYPE);

  DWORD access = 0;
  switch (mode.access) {
    case OpenMode::Read: access = GENERIC_READ; break;
    case OpenMode::Write: access = GENERIC_WRITE; break;
    case OpenMode::ReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
  }
  // Others may read, write and replace the file while it is open, as on
  // Linux. A new file takes the folder's inherited permissions. The handle
  // is not inherited by child processes (no security attributes).
  const std::wstring native = wide(full);
  HANDLE handle = ::CreateFileW(native.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                mode.create ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A folder is refused as "access denied" when opened as a file.
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return fail(File::Failure::NotRegular, error);
    return fail(failureOf(error), error);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool disk = ::GetFileType(handle) == FILE_TYPE_DISK;
  const bool known = disk && ::GetFileInformationByHandle(handle, &info);
  if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    const bool link = known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(handle);
    return link ? fail(File::Failure::Link, ERROR_CANT_RESOLVE_FILENAME) : fail(File::Failure::NotRegular, ERROR_BAD_FILE_TYPE);
  }
  // The path as given, resolved by the system, must end where it began.
  const bool direct = folder.isEmpty()
                          ? reachedDirectly(QFileInfo(path).absolutePath(), {name}, handle)
                          : reachedDirectly(folder, QDir::fromNativeSeparators(path).split(u'/', Qt::SkipEmptyParts), handle);
  if (!direct) {
    ::CloseHandle(handle);
    return fail(File::Failure::Link, ERROR_CANT_RESOLVE_FILENAME);
  }
  for (HANDLE h : held) ::CloseHandle(h);
  file.handle_ = reinterpret_cast<std::intptr_t>(handle);
  if (mode.append) {
    const std::lock_guard<std::mutex> lock(appendMutex);
    appendHandles.insert(file.handle_);
  }
  return file;
}

bool writableForUs(const QString& path) {
  const std::wstring native = wide(path);
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  // A read-only file stays read-only for the programs, administrators
  // included (the system refuses them the write as well).
  if (!folder && ((attributes & FILE_ATTRIBUTE_READONLY) || isDeviceName(QFileInfo(path).fileName()))) return false;
  // The system's own answer, its access lists and all: a handle asking for
  // the right, closed again at once; nothing is written.
  HANDLE handle = ::CreateFileW(native.c_str(), folder ? FILE_ADD_FILE : FILE_WRITE_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;  // ours to write, busy now
  ::CloseHandle(handle);
  return true;
}

Entry entryAt(const QString& path) {
  // The attributes of a link are its own: it is not followed.
  const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Entry::Missing;
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) return Entry::Other;
  if (isDeviceName(QFileInfo(path).fileName()) || isDevicePath(path)) return Entry::Other;
  // A link Wine does not show as one still resolves elsewhere.
  HANDLE handle = ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Entry::Other;
  const bool direct = reachedDirectly(QFileInfo(path).absolutePath(), {QFileInfo(path).fileName()}, handle);
  ::CloseHandle(handle);
  return direct ? Entry::RegularFile : Entry::Other;
}

bool readableByAll(const QString& path) {
  std::wstring native = wide(path);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &sd) != ERROR_SUCCESS)
    return false;
  // No access list at all: every account has every right.
  bool readable = dacl == nullptr;
  if (dacl) {
    // Every account: Everyone, Authenticated Users, the local Users group.
    BYTE sids[3][SECURITY_MAX_SID_SIZE];
    const WELL_KNOWN_SID_TYPE kinds[3] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid};
    int known = 0;
    for (int i = 0; i < 3; ++i) {
      DWORD size = SECURITY_MAX_SID_SIZE;
      if (::CreateWellKnownSid(kinds[i], nullptr, sids[known], &size)) ++known;
    }
    const ACCESS_MASK readRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    // The entries in order: the first that speaks of reading for one of them decides.
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* entry = nullptr;
      if (!::GetAce(dacl, i, &entry)) continue;
      const auto* header = static_cast<const ACE_HEADER*>(entry);
      if (header->AceFlags & INHERIT_ONLY_ACE) continue;
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
      // Both kinds share one layout: header, mask, SID.
      auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      if (!(ace->Mask & readRights)) continue;
      bool everyone = false;
      for (int k = 0; k < known && !everyone; ++k) everyone = ::EqualSid(&ace->SidStart, sids[k]);
      if (!everyone) continue;
      readable = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
      break;
    }
  }
  ::LocalFree(sd);
  return readable;
}

namespace {

// Whether an access list holds entries of its own, not only those the
// folder hands down.
bool hasOwnEntries(PACL dacl) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (::GetAce(dacl, i, &entry) && !(static_cast<const ACE_HEADER*>(entry)->AceFlags & INHERITED_ACE)) return true;
  }
  return false;
}

}  // namespace

// The temporary file beside the old one inherits the same entries from the
// folder; what the old file had of its own (an entry someone added, a list
// cut off from the folder's) is put on it before the rename. The owner does
// not carry over: on Windows others' rights come from the list, not from
// owning the file. A new file keeps the folder's inherited list, which is
// how the station folder shares it (StationFolder.cpp), whatever `newFile` says.
bool replaceByRename(const QString& filePath, const QByteArray& content, NewFile, QString* why) {
  const std::wstring target = wide(filePath);
  const auto fail = [why](DWORD code) {
    if (why) *why = systemErrorText(code);
    return false;
  };

  const DWORD oldAttributes = ::GetFileAttributesW(target.c_str());
  const bool hadOld = oldAttributes != INVALID_FILE_ATTRIBUTES &&
                      !(oldAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
  PACL oldDacl = nullptr;
  PSECURITY_DESCRIPTOR oldSd = nullptr;
  bool copyList = false;
  bool cutOff = false;
  if (hadOld) {
    std::wstring name = target;
    const DWORD got = ::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              &oldDacl, nullptr, &oldSd);
    if (got != ERROR_SUCCESS) return fail(got);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(oldSd, &control, &revision);
    cutOff = control & SE_DACL_PROTECTED;
    copyList = oldDacl && (cutOff || hasOwnEntries(oldDacl));
  }
  const auto freeOld = [&oldSd] {
    if (oldSd) ::LocalFree(oldSd);
    oldSd = nullptr;
  };

  // Made exclusively (CREATE_NEW neither follows nor replaces anything),
  // under a name no one can guess.
  std::wstring temp;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 64 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    temp = target + L"." + QString::number(QRandomGenerator::system()->generate64(), 36).left(8).toStdWString();
    handle = ::CreateFileW(temp.c_str(), GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    freeOld();
    return fail(error);
  }

  DWORD error = ERROR_SUCCESS;
  if (copyList)
    error = ::SetSecurityInfo(handle, SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION |
                                  (cutOff ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION),
                              nullptr, nullptr, oldDacl, nullptr);
  freeOld();
  if (error == ERROR_SUCCESS && !(writeAll(handle, content, false) && ::FlushFileBuffers(handle))) error = ::GetLastError();
  if (!::CloseHandle(handle) && error == ERROR_SUCCESS) error = ::GetLastError();

  if (error == ERROR_SUCCESS) {
    // A reader that has the old file open without leave to delete it
    // (QFile's opens) blocks the rename for as long as it reads: a short
    // while, so it is tried again within a bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{500};
    for (;;) {
      if (::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
      error = ::GetLastError();
      const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
      if (!busy || std::chrono::steady_clock::now() >= deadline) break;
      ::Sleep(10);
    }
  }
  ::DeleteFileW(temp.c_str());
  return fail(error);
}

void syncFolderOf(const QString& path) {
  // NTFS journals the names in a folder; where the system offers it (Wine
  // on a Linux file system: fsync of the folder) the folder is flushed too.
  const std::wstring folder = wide(QFileInfo(path).absolutePath());
  HANDLE handle = ::CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  ::FlushFileBuffers(handle);
  ::CloseHandle(handle);
}

}  // namespace platform
