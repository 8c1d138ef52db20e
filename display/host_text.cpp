#include "display/host_text.h"

#include <cstring>

namespace {

bool isKept(unsigned char c) {
  return c == '-' || c == '.' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isZoneCharacter(unsigned char c) { return isKept(c) || c == '_'; }

// An IPv6 literal at `at`, bracketed as URLs have it or bare: hex digits, colons and dots with two colons at least,
// then a zone after "%". Its length, or 0 when there is none: the text is then a name or a dotted address.
size_t ipv6Literal(const char* at, char (&result)[HOST_TEXT_LENGTH]) {
  const char* start = at + (*at == '[');
  size_t length = strspn(start, "0123456789ABCDEFabcdef:."), colons = 0;
  for (size_t i = 0; i < length; ++i) colons += start[i] == ':';
  if (colons < 2) return 0;
  // A literal ends in a digit or "::": a dot or a lone colon behind it is the text's punctuation (or a port).
  if (start[length - 1] == '.' || (start[length - 1] == ':' && start[length - 2] != ':')) --length;
  if (start[length] == '%')
    for (++length; isZoneCharacter(static_cast<unsigned char>(start[length])); ++length) {
    }
  length = length < HOST_TEXT_LENGTH - 1 ? length : HOST_TEXT_LENGTH - 1;
  memcpy(result, start, length);
  result[length] = '\0';
  return length;
}

}  // namespace

void extractHostName(const char* hostText, char (&result)[HOST_TEXT_LENGTH]) {
  const char* at = hostText;
  // Browsers copy URLs as https://, which would otherwise trace a host named "https".
  if (strncmp(at, "http://", 7) == 0)
    at += 7;
  else if (strncmp(at, "https://", 8) == 0)
    at += 8;
  if (strncmp(at, "ftp://", 6) == 0) at += 6;
  const char* first = at;
  while (*first != '\0' && !strchr("[/:", *first) && !isKept(static_cast<unsigned char>(*first))) ++first;
  // One colon is a port's (host:port); an IPv6 address has two or more.
  if (ipv6Literal(first, result) > 0) return;
  int length = 0;
  for (; *at != '\0'; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c == '/' || c == ':') break;
    if (c == ' ' && length > 0) break;
    if (isKept(c) && length < HOST_TEXT_LENGTH - 1) result[length++] = static_cast<char>(c);
  }
  result[length] = '\0';
}
