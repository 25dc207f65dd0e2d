// Address texts of IPv4 and IPv6 peers.
#include "server/peer_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace fernd {

static_assert(pop3_address_size == INET6_ADDRSTRLEN);

pop3_client_address peer_address_of(const sockaddr_storage& peer) {
  pop3_client_address address;
  if (peer.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &peer, sizeof v6);
    if (::inet_ntop(AF_INET6, &v6.sin6_addr, address.text.data(), address.text.size()) != nullptr) {
      address.port = ntohs(v6.sin6_port);
    }
  } else if (peer.ss_family == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, &peer, sizeof v4);
    if (::inet_ntop(AF_INET, &v4.sin_addr, address.text.data(), address.text.size()) != nullptr) {
      address.port = ntohs(v4.sin_port);
    }
  }
  return address;
}

pop3_client_address peer_address_of_socket(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return {};
  }
  return peer_address_of(peer);
}

}  // namespace fernd
