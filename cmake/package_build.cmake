# Packaging build (QM_PACKAGE_BUILD=ON): the programs must run on a router that has the C library
# and busybox but none of our other libraries.
#  - optimised for size, unused code left out;
#  - wolfSSL is linked from its static archive;
#  - libstdc++ and libgcc are linked statically;
#  - the shared cJSON library travels with the module in quillmesh/lib/, found through a run
#    path relative to the program (quillmesh/bin/../lib).
# The list of shared libraries to bundle is written to bundled_libs in the build directory;
# module/package.sh copies them into the package.

find_library(QM_WOLFSSL_ARCHIVE NAMES libwolfssl.a
             HINTS ${WOLFSSL_STATIC_LIBRARY_DIRS} ${WOLFSSL_LIBRARY_DIRS} NO_CMAKE_SYSTEM_PATH)
if(NOT QM_WOLFSSL_ARCHIVE)
  message(FATAL_ERROR "packaging build: no static wolfSSL library (libwolfssl.a) in ${WOLFSSL_LIBRARY_DIRS}")
endif()
# What the archive itself needs, from the static link line of its pkg-config file.
set(QM_WOLFSSL_PRIVATE_LIBS ${WOLFSSL_STATIC_LIBRARIES})
list(REMOVE_ITEM QM_WOLFSSL_PRIVATE_LIBS wolfssl)
set_target_properties(PkgConfig::WOLFSSL PROPERTIES
  INTERFACE_LINK_LIBRARIES "${QM_WOLFSSL_ARCHIVE};${QM_WOLFSSL_PRIVATE_LIBS}"
  INTERFACE_LINK_DIRECTORIES "")

add_link_options(-static-libstdc++ -static-libgcc)

# A router keeps every page of the program that it has once run resident: the smaller the code,
# the less of it. Size-optimised code in sections of its own, and what nothing calls left out.
add_compile_options(-Os -ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
# Only libraries that something calls are loaded: the maths library that the compiler driver
# names is dropped where daemon/maths_on_demand.c stands in for it.
add_link_options(-Wl,--as-needed)

# The programs live in quillmesh/bin/, the bundled libraries in quillmesh/lib/.
set(CMAKE_BUILD_RPATH "\$ORIGIN/../lib")
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)

find_library(QM_CJSON_SHARED NAMES cjson HINTS ${CJSON_LIBRARY_DIRS} NO_CMAKE_SYSTEM_PATH)
if(NOT QM_CJSON_SHARED)
  message(FATAL_ERROR "packaging build: no shared cJSON library in ${CJSON_LIBRARY_DIRS}")
endif()
get_filename_component(QM_CJSON_SHARED_REAL ${QM_CJSON_SHARED} REALPATH)
file(WRITE ${CMAKE_BINARY_DIR}/bundled_libs "${QM_CJSON_SHARED_REAL}\n")
message(STATUS "packaging build: wolfSSL ${QM_WOLFSSL_ARCHIVE}, bundled ${QM_CJSON_SHARED_REAL}")
