# Cross build for the camera: Debian's mipsel cross compiler against the
# sysroot that scripts/make-sysroot.sh assembles.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT LH_SYSROOT)
  message(FATAL_ERROR "LH_SYSROOT must name the mipsel sysroot")
endif()
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
