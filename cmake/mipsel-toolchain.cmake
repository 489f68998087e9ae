# Cross build for the camera: Debian's mipsel cross compiler against the
# sysroot that scripts/make-sysroot.sh assembles.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT LH_SYSROOT)
  get_filename_component(LH_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/mipsel/sysroot" ABSOLUTE)
endif()
# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LH_SYSROOT)
if(NOT EXISTS "${LH_SYSROOT}/.complete")
  message(FATAL_ERROR "no complete sysroot at ${LH_SYSROOT}; run scripts/make-sysroot.sh ${LH_SYSROOT}")
endif()

set(CMAKE_SYSROOT "${LH_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${LH_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${LH_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${LH_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${LH_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L "${LH_SYSROOT}")

# The linker pads segments to 64 KiB by default on MIPS; the camera's kernel
# uses 4 KiB pages, and the programs stay a fraction of the size.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096")
