#pragma once
// Absolute paths of the daemon's files. Production uses them unchanged; the
// environment variable IEC_FS_ROOT (or setFsRootForTesting) puts a folder in
// front of every absolute path so tests never touch the real file system.

#include <string>

namespace paths {

// "/etc/iec/config/IECServer.conf" -> "<root>/etc/iec/config/IECServer.conf".
// Relative paths are returned unchanged.
std::string resolve(const std::string& absolutePath);

void setFsRootForTesting(const std::string& root);

inline constexpr const char* kIecServerConf = "/etc/iec/config/IECServer.conf";

}  // namespace paths
