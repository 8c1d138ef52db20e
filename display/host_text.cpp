#include "display/host_text.h"

#include <cstring>

namespace {

bool isKept(unsigned char c) {
  return c == '-' || c == '.' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
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
  int length = 0;
  for (; *at != '\0'; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c == '/' || c == ':') break;
    if (c == ' ' && length > 0) break;
    if (isKept(c) && length < HOST_TEXT_LENGTH - 1) result[length++] = static_cast<char>(c);
  }
  result[length] = '\0';
}
