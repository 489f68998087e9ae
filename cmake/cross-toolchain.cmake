# Cross build for a camera target (LH_TARGET: a name in targets.txt beside
# this file): Debian's cross compiler against the sysroot that
# scripts/make-sysroot.sh assembles, tests under qemu-user.
if(NOT LH_TARGET)
  message(FATAL_ERROR "LH_TARGET names the camera target (see cmake/targets.txt)")
endif()
# try_compile projects read this file again and need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LH_TARGET LH_SYSROOT)

file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/targets.txt" lh_lines REGEX "^${LH_TARGET} ")
if(NOT lh_lines)
  message(FATAL_ERROR "no camera target '${LH_TARGET}' in cmake/targets.txt")
endif()
# Columns split at blanks; what file(1) says, the twelfth on, has blanks
# of its own (single ones) and is joined again.
string(REGEX REPLACE " +" ";" lh_columns "${lh_lines}")
list(GET lh_columns 2 LH_TRIPLET)
list(GET lh_columns 3 LH_EMULATOR_PROGRAM)
list(SUBLIST lh_columns 12 -1 lh_says)
# What file(1) says of the target's programs, for the package check.
list(JOIN lh_says " " LH_FILE_SAYS)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LH_TARGET})
set(CMAKE_C_COMPILER ${LH_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LH_TRIPLET}-g++)

if(NOT LH_SYSROOT)
  get_filename_component(LH_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/${LH_TARGET}/sysroot" ABSOLUTE)
endif()
if(NOT EXISTS "${LH_SYSROOT}/.complete")
  message(FATAL_ERROR "no complete sysroot at ${LH_SYSROOT}; run scripts/make-sysroot.sh ${LH_TARGET} ${LH_SYSROOT}")
endif()

set(CMAKE_SYSROOT "${LH_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${LH_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${LH_TRIPLET})

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${LH_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${LH_SYSROOT}/usr/lib/${LH_TRIPLET}/pkgconfig:${LH_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR ${LH_EMULATOR_PROGRAM} -L "${LH_SYSROOT}")

# The linker pads segments to 64 KiB by default on some targets (MIPS,
# aarch64); the cameras' kernels use 4 KiB pages, and the programs stay a
# fraction of the size.
# No build ID: 20 bytes a program that don't compress, and no debug files
# are kept to match it with.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096 -Wl,--build-id=none")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096")
