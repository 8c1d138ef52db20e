// Preloaded into wineserver, which makes every socket of a Windows program: raw ICMP sockets are
// refused with EACCES, as for a user without CAP_NET_RAW, while Wine's ICMP helper API, which
// makes its sockets in another process, keeps its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  static int (*real)(int, int, int);
  if (!real) real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  if (domain == AF_INET && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_RAW && protocol == IPPROTO_ICMP) {
    errno = EACCES;
    return -1;
  }
  return real(domain, type, protocol);
}
