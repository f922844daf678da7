#pragma once

#include <sys/types.h>
#include <vector>

namespace bq {

// The processes of a session, as /proc shows them (zombies, which only wait for their reaper,
// are left out).
std::vector<pid_t> SessionMembers(pid_t session);

}  // namespace bq
