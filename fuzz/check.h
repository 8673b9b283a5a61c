#pragma once

// A failed property stops the fuzzer at once, with the input that broke it.
inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}
