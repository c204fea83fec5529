# Zig's Mach-O linker makes dynamic libraries but no bundles (-bundle crashes
# it); CPython loads an extension module of either kind.
if(APPLE)
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
endif()
