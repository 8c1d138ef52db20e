// Cuts the host name or dotted address out of a free text such as a URL.
#pragma once

constexpr int HOST_TEXT_LENGTH = 5000;

// Writes at most 4999 characters and a NUL into `result`; characters past that are dropped.
void extractHostName(const char* hostText, char (&result)[HOST_TEXT_LENGTH]);
