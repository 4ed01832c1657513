# Warnings and target flags shared by every target of the project.
add_library(pelorin_options INTERFACE)
target_compile_options(pelorin_options INTERFACE -Wall -Wextra)
target_compile_definitions(pelorin_options INTERFACE $<$<BOOL:${WIN32}>:WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE>)
# Generated headers (pelorin_version.h).
target_include_directories(pelorin_options INTERFACE ${PELORIN_GENERATED_DIR})

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Every Windows that runs the tool has SSE2; the i686 baseline does not assume it.
    target_compile_options(pelorin_options INTERFACE -msse2 -mfpmath=sse)
  endif()
  # No MinGW runtime DLLs next to the exe: the C and C++ runtimes and winpthreads go in statically.
  target_link_options(pelorin_options INTERFACE -static -static-libgcc -static-libstdc++)
  # The oldest Windows the programs run on is Vista (6.0): bounded device I/O needs
  # CancelSynchronousIo and CancelIoEx. The PE header says so (OS and subsystem version), so that
  # an older Windows refuses the exe outright instead of failing on a missing entry point.
  target_link_options(pelorin_options INTERFACE LINKER:--major-os-version,6
                      LINKER:--minor-os-version,0 LINKER:--major-subsystem-version,6
                      LINKER:--minor-subsystem-version,0)
  # The same sources give the same bytes: the linker writes no time stamp into the PE header
  # (it would by default), and no build folder reaches an object file (__FILE__, debug info).
  target_link_options(pelorin_options INTERFACE LINKER:--no-insert-timestamp)
  target_compile_options(pelorin_options INTERFACE -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
endif()

set(PELORIN_SANITIZE "" CACHE STRING "Sanitizers for the native build: address,undefined or thread")
if(PELORIN_SANITIZE)
  add_compile_options(-fsanitize=${PELORIN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PELORIN_SANITIZE})
endif()

# A subsystem folder holds its portable code and its Windows glue side by side; the glue files are
# named *_win32.cpp (programs with their own entry point: *_main_win32.cpp).
# pelorin_portable_library(NAME LIBS...): every other *.cpp of the folder.
function(pelorin_portable_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC pelorin_options ${ARGN})
endfunction()

# pelorin_win32_library(NAME LIBS...): the folder's *_win32.cpp but its programs (Windows only).
function(pelorin_win32_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_win32.cpp)
  list(FILTER sources EXCLUDE REGEX "_main_win32\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC pelorin_options ${ARGN})
endfunction()
