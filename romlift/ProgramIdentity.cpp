#include "ProgramIdentity.h"

ProgramIdentity ProgramIdentity::romlift() {
  return {QStringLiteral(ROMLIFT_TITLE), ROMLIFT_VERSION_MAJOR, ROMLIFT_VERSION_MINOR, ROMLIFT_VERSION_PATCH};
}

QString ProgramIdentity::versionText() const {
  return QStringLiteral("Version %1.%2%3").arg(major).arg(minor).arg(revision);
}

QString ProgramIdentity::dotted() const { return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision); }
