#include "LineLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace LineLink {

bool publish(const std::string& slave, const std::string& path, const char* program) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    std::fprintf(stderr, "%s: %s exists and is not a link\n", program, path.c_str());
    return false;
  }
  // Renamed into place, so a program opening the name never finds it missing.
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(slave.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot link %s: %s\n", program, path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void withdraw(const std::string& slave, const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave) ::unlink(path.c_str());
}

}  // namespace LineLink
