// The header checksum of a package: the stub's copy would no longer match
// once the payload is behind it.
#pragma once
#include <string>

// Computes the image checksum of the whole file open as fd (a Windows
// executable followed by anything) and writes it into the file's header;
// a stub without a PE header is left alone. False with a message when the
// file cannot be read or written.
bool WritePeChecksum(int fd, std::string* error);
