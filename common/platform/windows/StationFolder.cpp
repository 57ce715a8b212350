#include <platform/StationFolder.h>

#include <QCoreApplication>
#include <QDir>

#include <iterator>
#include <string>

#include <windows.h>

#include <aclapi.h>
#include <shlobj.h>

#ifndef KESTRUNE_INSTALLED_MARKER
#define KESTRUNE_INSTALLED_MARKER "../share/kestrune-service-tools/installed"
#endif

namespace platform::station {

namespace {

constexpr char kStationName[] = "kestrune-service-tools";

// A known folder of the system's, with forward slashes as Qt writes paths;
// the environment's value when the system does not say.
QString knownFolder(REFKNOWNFOLDERID id, const char* variable) {
  wchar_t* path = nullptr;
  QString folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)) && path) folder = QString::fromWCharArray(path);
  ::CoTaskMemFree(path);
  if (folder.isEmpty()) folder = qEnvironmentVariable(variable);
  return folder.isEmpty() ? QString() : QDir::cleanPath(QDir::fromNativeSeparators(folder));
}

// The local Users group: every account that may use the serial ports (on
// Windows no group guards them).
bool usersSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  return ::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &size);
}

}  // namespace

QString programFolder() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
  wchar_t path[32768];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
  if (n == 0 || n >= std::size(path)) return {};
  return QDir::cleanPath(QDir::fromNativeSeparators(QString::fromWCharArray(path, int(n)).section(u'\\', 0, -2)));
}

QString installedMarker() { return QStringLiteral(KESTRUNE_INSTALLED_MARKER); }

QString sharedFolder() {
  const QString set = qEnvironmentVariable("KESTRUNE_STATION_DIR");
  if (!set.isEmpty()) return QDir::cleanPath(QDir::fromNativeSeparators(set));
  QString base = knownFolder(FOLDERID_ProgramData, "ProgramData");
  if (base.isEmpty()) base = QStringLiteral("C:/ProgramData");
  return base + u'/' + QLatin1String(kStationName);
}

QString userSettingsBase() {
  // Each program's own folder goes under the user's roaming application data.
  QString base = knownFolder(FOLDERID_RoamingAppData, "APPDATA");
  return base.isEmpty() ? QDir::cleanPath(QDir::homePath() + QStringLiteral("/AppData/Roaming")) : base;
}

void makeSharedFolder(const QString& folder) {
  const std::wstring native = QDir::toNativeSeparators(folder).toStdWString();
  if (::GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES || !::CreateDirectoryW(native.c_str(), nullptr))
    return;
  // Made by a first use, not by the installer: as the installer makes it.
  // Under %ProgramData% a user may read but not change what another user
  // made; so the Users group gets the right to change the files in it, and
  // every file made there later inherits that entry. This is what the
  // group's write access and the set-group-id folder give on Linux; files
  // need nothing of their own (shareNewFilesWithGroup).
  BYTE sid[SECURITY_MAX_SID_SIZE];
  if (!usersSid(sid)) return;
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::wstring name = native;
  if (::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old, nullptr,
                              &sd) != ERROR_SUCCESS)
    return;
  PACL updated = nullptr;
  if (::SetEntriesInAclW(1, &entry, old, &updated) == ERROR_SUCCESS) {
    ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, updated, nullptr);
    ::LocalFree(updated);
  }
  ::LocalFree(sd);
}

QString accessHint(const QString& folder) {
  return QStringLiteral("ask an administrator to let the group Users change the files in it "
                        "(icacls \"%1\" /grant *S-1-5-32-545:(OI)(CI)M)")
      .arg(QDir::toNativeSeparators(folder));
}

void shareNewFilesWithGroup() {
  // Nothing to do: a file made in the station folder inherits the folder's
  // access list, which lets the Users group change it (makeSharedFolder);
  // Windows has no process mask that could take that away.
}

}  // namespace platform::station
