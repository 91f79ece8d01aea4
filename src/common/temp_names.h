// Temporary files written beside a target and renamed over it when complete.
//
// The name records who wrote it: "." + the target's base name + ".varn-" +
// HOSTTAG + "-" + PID + "-" + six random letters or digits + ".tmp", e.g.
// ".out.varn.varn-3f09a1c2-4711-k2Rq9Z.tmp" beside "out.varn". HOSTTAG is
// eight hex digits hashed from the host name. A process that dies without
// cleaning up leaves such a file; the next writer of the same target on the
// same host removes it once that pid no longer runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace varn {

// This host's tag in temporary names: FNV-1a (32 bits) of the host name, as
// eight lowercase hex digits.
const std::string& temp_host_tag();

// A temporary name for `target` in its directory, for this process; `salt`
// varies the random part between attempts.
std::string temp_path_for(const std::string& target, uint64_t salt);

// When `name` (a file name without directory) is a temporary name of the
// target whose base name is `target_base`, its host tag and pid.
bool parse_temp_name(const std::string& name, const std::string& target_base, std::string& host_tag, pid_t& pid);

// Removes the regular files beside `target` whose names are temporary names
// of it written on this host by a process that no longer runs (kill(pid, 0)
// fails with ESRCH). Files of other hosts, of running processes (this one
// included) and any other name are kept. Returns how many were removed;
// failures to list or remove are ignored (a leftover stays a leftover).
int remove_stale_temps(const std::string& target);

}  // namespace varn
