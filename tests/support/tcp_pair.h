// Both ends of one real TCP connection on 127.0.0.1, for tests of what runs on a connection.
#ifndef FERND_TESTS_SUPPORT_TCP_PAIR_H_
#define FERND_TESTS_SUPPORT_TCP_PAIR_H_

#include "common/posix_handle.h"

namespace fernd {

struct tcp_pair {
  unique_fd client;
  unique_fd server;
};

/// Connects a client to a listener on an ephemeral loopback port and accepts it; fails the calling
/// test (use ASSERT_NO_FATAL_FAILURE) when any step fails. \a client_receive_buffer, when not 0,
/// is the client's SO_RCVBUF, set before the connection so that the window follows it.
void tcp_pair_open(tcp_pair* pair, int client_receive_buffer = 0);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_TCP_PAIR_H_
