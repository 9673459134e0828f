// Who holds a serial port: a UUCP lock file in /var/lock or /run/lock ("LCK..ttyS0" with a live
// process's id), or another process with the device open (found through /proc/*/fd, where this
// user may look). Used before a port is opened, so that the line service and qxline probe never
// take or disturb a port another program uses, and can say who has it.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace lineservice {

struct PortHolder {
  pid_t pid = 0;
  std::string program;  // the process's command name, when it can be read

  std::string Describe() const;  // "picocom (process 1234)"
};

// Another process that holds the port at `path` (symbolic links followed); nullopt when none is
// known. This process's own opens are not counted: the port's lock tells those apart.
std::optional<PortHolder> FindPortHolder(const std::string& path);

}  // namespace lineservice
