#include "support/tcp_pair.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

namespace fernd {

void tcp_pair_open(tcp_pair* pair, int client_receive_buffer) {
  unique_fd listening{::socket(AF_INET, SOCK_STREAM, 0)};
  ASSERT_GE(listening.fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  ASSERT_EQ(0, ::bind(listening.fd, any, sizeof address));
  ASSERT_EQ(0, ::listen(listening.fd, 1));
  ASSERT_EQ(0, ::getsockname(listening.fd, any, &length));
  pair->client.reset(::socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_GE(pair->client.fd, 0);
  if (client_receive_buffer != 0) {
    ASSERT_EQ(0, ::setsockopt(pair->client.fd, SOL_SOCKET, SO_RCVBUF, &client_receive_buffer,
                              sizeof client_receive_buffer));
  }
  ASSERT_EQ(0, ::connect(pair->client.fd, any, sizeof address));
  pair->server.reset(::accept(listening.fd, nullptr, nullptr));
  ASSERT_GE(pair->server.fd, 0);
}

}  // namespace fernd
