# Warnings and target flags shared by every target of the project.
add_library(pelorin_options INTERFACE)
target_compile_options(pelorin_options INTERFACE -Wall -Wextra)
target_compile_definitions(pelorin_options INTERFACE $<$<BOOL:${WIN32}>:WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE>)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Every Windows that runs the tool has SSE2; the i686 baseline does not assume it.
    target_compile_options(pelorin_options INTERFACE -msse2 -mfpmath=sse)
  endif()
  # No MinGW runtime DLLs next to the exe: the C and C++ runtimes and winpthreads go in statically.
  target_link_options(pelorin_options INTERFACE -static -static-libgcc -static-libstdc++)
endif()

set(PELORIN_SANITIZE "" CACHE STRING "Sanitizers for the native build: address,undefined or thread")
if(PELORIN_SANITIZE)
  add_compile_options(-fsanitize=${PELORIN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PELORIN_SANITIZE})
endif()
