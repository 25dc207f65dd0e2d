// For tests only: the seams through which tests reach into the listener. Production code never
// changes them.
#ifndef FERND_SERVER_LISTENER_TESTING_H_
#define FERND_SERVER_LISTENER_TESTING_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>

namespace fernd {

/// The accept and fork that the listener calls: ::accept and ::fork, unless a test puts a
/// failure in their place that cannot be produced for real.
extern int (*listener_accept_call)(int fd, sockaddr* address, socklen_t* length);
extern pid_t (*listener_fork_call)();

/// Returns once fewer than 16 sessions are counted, testing the count again after each \a step
/// at most and after every signal; a session that ends ends the wait at once.
void listener_wait_for_slot(std::chrono::milliseconds step);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_TESTING_H_
