# With clang's -Wthread-safety (the thread-safety preset), a guarded member read without its
# lock must fail to compile; otherwise the analysis is silently off (a flag lost, the
# attributes emptied) and a green build would prove nothing.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-Wthread-safety")
  try_compile(pmr_unlocked_read_compiles
    SOURCE_FROM_CONTENT unlocked_read.cpp [[
#include "base/mutex.h"
struct Counter {
  pmr::Mutex mu;
  int value GUARDED_BY(mu) = 0;
};
int Read(Counter& c) { return c.value; }
int main() {
  Counter c;
  return Read(c);
}
]]
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}"
    COMPILE_DEFINITIONS -Werror
    CXX_STANDARD 20
    OUTPUT_VARIABLE pmr_unlocked_read_output
    NO_CACHE)
  if(pmr_unlocked_read_compiles)
    message(FATAL_ERROR "-Wthread-safety did not reject a guarded member read without its lock")
  elseif(NOT pmr_unlocked_read_output MATCHES "requires holding mutex")
    message(FATAL_ERROR "the lock check failed for another reason:\n${pmr_unlocked_read_output}")
  endif()
endif()
