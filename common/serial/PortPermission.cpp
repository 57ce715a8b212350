#include "PortPermission.h"

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString PortPermission::hint(const QString& device, const QString& group, const QString& user, bool groupMayUse) {
  if (!groupMayUse)
    return QStringLiteral("%1 belongs to group %2 and is not open to its members; the administrator must give it "
                          "to the serial-port group (usually dialout)")
        .arg(device, group);
  return QStringLiteral("%1 belongs to group %2; user %3 must be a member of it to use the port "
                        "(sudo usermod -aG %2 %3, then log in again)")
      .arg(device, group, user);
}

QString PortPermission::hintFor(const QString& device) {
#ifdef Q_OS_UNIX
  struct stat st {};
  if (::stat(device.toLocal8Bit().constData(), &st) != 0) return {};
  const group* g = ::getgrgid(st.st_gid);
  const passwd* p = ::getpwuid(::geteuid());
  const QString groupName = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
  const QString userName = p ? QString::fromLocal8Bit(p->pw_name) : QString::number(::geteuid());
  const bool groupMayUse = st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  return hint(device, groupName, userName, groupMayUse);
#else
  Q_UNUSED(device);
  return {};
#endif
}
