# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads,
# which std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARY_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARY_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TESSARY_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TESSARY_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the mingw sysroot and from the dependency
# prefix the build script passes in CMAKE_PREFIX_PATH; never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSARY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each program runs alone: the compiler's runtime and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# pkg-config looks only at the dependency prefix (TESSARY_WIN_DEPS, set by
# scripts/windows/build.sh), never at the host's .pc files.
if(DEFINED TESSARY_WIN_DEPS)
    set(ENV{PKG_CONFIG_LIBDIR} "${TESSARY_WIN_DEPS}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
    list(APPEND CMAKE_FIND_ROOT_PATH "${TESSARY_WIN_DEPS}")
endif()
