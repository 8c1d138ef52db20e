// Preloaded into wineserver, which makes the sockets of Windows programs: raw ICMP sockets are
// refused with EACCES, as for a user without CAP_NET_RAW. Wine's ICMP helper API keeps its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  if (domain == AF_INET && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_RAW && protocol == IPPROTO_ICMP) {
    errno = EACCES;
    return -1;
  }
  return ((int (*)(int, int, int))dlsym(RTLD_NEXT, "socket"))(domain, type, protocol);
}
