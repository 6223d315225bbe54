// Who owns each temporary profile: a workspace connected to a store file or a
// mailbox logs on through a profile of its own, which it deletes when it
// closes. A process that is killed outright (SIGKILL, a crash, a power cut)
// cannot delete it; the record of its owner lets the next start find and
// delete it, and lets the mail control panel refuse to delete a profile that
// is in use.
//
// A record is a file named after the profile in the folder ".owners" of the
// profile folder, holding the owner's process ID and the time it started (so
// that a new process given the same ID does not count as the owner).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tempprofiles {

// Records this process as the owner of the profile.
void RecordOwner(const std::string& strProfile);
// Removes the record (once the profile is deleted).
void ForgetOwner(const std::string& strProfile);

// The process that owns the profile and is running; 0 when the profile has no
// record or its owner is gone.
pid_t LiveOwner(const std::string& strProfile);

// Deletes every recorded profile whose owner is gone, with its record;
// returns the names deleted.
std::vector<std::string> DeleteStale();

} // namespace tempprofiles
