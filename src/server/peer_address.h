// A client's address as fernd's log names it, from an accepted connection or from the socket that
// an inetd passed.
#ifndef FERND_SERVER_PEER_ADDRESS_H_
#define FERND_SERVER_PEER_ADDRESS_H_

#include <sys/socket.h>

#include "pop3/pop3_session.h"

namespace fernd {

/// The address text and port of \a peer; an empty text for another family than IPv4 and IPv6.
[[nodiscard]] pop3_client_address peer_address_of(const sockaddr_storage& peer);

/// The address of the peer of the connected socket \a fd; an empty text when \a fd is no IPv4 or
/// IPv6 socket (a pipe, a terminal, a local socket).
[[nodiscard]] pop3_client_address peer_address_of_socket(int fd);

}  // namespace fernd

#endif  // FERND_SERVER_PEER_ADDRESS_H_
