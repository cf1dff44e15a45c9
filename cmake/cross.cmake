# Cross build for a router architecture with Debian's cross toolchain and multiarch libraries.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake -DQM_CROSS_TRIPLET=arm-linux-gnueabihf
#         -DQM_CROSS_QEMU=qemu-arm [-DQM_CROSS_EXTRA_PREFIX=DIR] ...
# QM_CROSS_EXTRA_PREFIX is a directory with usr/include and usr/lib/<triplet> of development
# packages that cannot be installed next to the build machine's own (./qm unpacks them there).
# Tests run under qemu-user with the target's C library and the multiarch libraries.
set(CMAKE_SYSTEM_NAME Linux)
# The compiler checks run this file again in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QM_CROSS_TRIPLET QM_CROSS_QEMU QM_CROSS_EXTRA_PREFIX)
if(NOT QM_CROSS_TRIPLET)
  message(FATAL_ERROR "cross build: set QM_CROSS_TRIPLET (for example arm-linux-gnueabihf)")
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${QM_CROSS_TRIPLET}")
set(CMAKE_C_COMPILER ${QM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QM_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QM_CROSS_TRIPLET})
set(CMAKE_STRIP ${QM_CROSS_TRIPLET}-strip)

set(qm_pc_dirs /usr/lib/${QM_CROSS_TRIPLET}/pkgconfig /usr/share/pkgconfig)
if(QM_CROSS_EXTRA_PREFIX)
  list(PREPEND qm_pc_dirs ${QM_CROSS_EXTRA_PREFIX}/usr/lib/${QM_CROSS_TRIPLET}/pkgconfig)
endif()
string(REPLACE ";" ":" qm_pc_path "${qm_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${qm_pc_path}")
set(ENV{PKG_CONFIG_PATH} "")

# The target's C library comes from the multiarch package (libc6:<arch>, in /lib/<triplet>);
# with the cross toolchain's copy under /usr/<triplet> a forked child crashes under qemu-user.
if(QM_CROSS_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QM_CROSS_QEMU} -L / -E LD_LIBRARY_PATH=/usr/lib/${QM_CROSS_TRIPLET})
endif()

# GCC notes an ABI change of GCC 7.1 on ARM for every call that passes an initializer list.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
