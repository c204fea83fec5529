# Cross toolchain: Zig's clang, its libc stubs for an old glibc, and its own
# libc++ linked statically, so that a Linux wheel needs nothing at run time but
# the C library of any distribution from glibc 2.17 on.
#
#   VORN_ZIG         the zig executable (default: zig on PATH)
#   VORN_ZIG_TARGET  a zig target, e.g. aarch64-linux-gnu.2.17 or x86_64-macos
#
# Both are read from the environment as well, because CMake re-reads this file
# for every try_compile without the cache.
foreach(var VORN_ZIG VORN_ZIG_TARGET)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
endforeach()
if(NOT VORN_ZIG)
  find_program(VORN_ZIG zig REQUIRED)
endif()
if(NOT VORN_ZIG_TARGET)
  message(FATAL_ERROR "set VORN_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17")
endif()

string(REGEX MATCH "^[^-]+" _vorn_arch "${VORN_ZIG_TARGET}")
if(VORN_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
elseif(VORN_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
set(CMAKE_SYSTEM_PROCESSOR "${_vorn_arch}")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")

# CMake wants one program per tool; zig is one program with subcommands.
set(_vorn_wrappers "${CMAKE_BINARY_DIR}/zig-${VORN_ZIG_TARGET}")
foreach(tool cc c++ ar ranlib)
  if(tool STREQUAL "ar" OR tool STREQUAL "ranlib")
    set(_vorn_target_flag "")
  else()
    set(_vorn_target_flag "-target ${VORN_ZIG_TARGET}")
  endif()
  file(WRITE "${_vorn_wrappers}/${tool}" "#!/bin/sh\nexec \"${VORN_ZIG}\" ${tool} ${_vorn_target_flag} \"$@\"\n")
  file(CHMOD "${_vorn_wrappers}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_vorn_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${_vorn_wrappers}/c++")
set(CMAKE_AR "${_vorn_wrappers}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_vorn_wrappers}/ranlib" CACHE FILEPATH "" FORCE)

# Zig brings the target's C and C++ libraries; nothing of the host's is linked
# unless a path to it is given explicitly.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
