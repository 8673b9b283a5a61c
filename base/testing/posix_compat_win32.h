#pragma once

// Force-included into the test programs of a Windows build: the few POSIX C functions the
// tests use to set the environment, on top of the C runtime's own.

#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
