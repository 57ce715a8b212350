#pragma once

#include <string>

// A stable name for a simulator's pseudo-terminal, as a device node is for
// an adapter: PATH becomes a symbolic link to the slave side.
namespace LineLink {

// Replaces an older link at path (the same device plugged in again);
// anything else there is left alone. False, with a message, on failure.
bool publish(const std::string& slave, const std::string& path, const char* program);

// Removes path while it still names slave: a newer simulator's link stays.
void withdraw(const std::string& slave, const std::string& path);

}  // namespace LineLink
