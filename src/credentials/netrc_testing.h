// For tests only: a view of the netrc list that netrc_free releases. Production code never sets it.
#ifndef FERND_CREDENTIALS_NETRC_TESTING_H_
#define FERND_CREDENTIALS_NETRC_TESTING_H_

#include "credentials/netrc.h"

namespace fernd {

/// When set, netrc_free calls it with the list after the wipe and right before the release, so
/// that a test can see what the released memory holds.
extern void (*netrc_free_observer)(const netrc_list& list);

}  // namespace fernd

#endif  // FERND_CREDENTIALS_NETRC_TESTING_H_
