# Cross-builds for 32-bit Windows with Debian's mingw-w64 and runs the programs (tests, tools
# that run at build time) under Wine. scripts/setup-windows installs the toolchain and Wine;
# scripts/build-windows-deps builds the libraries into the directory TERN_WINDOWS_DEPS names.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TERN_MINGW_TRIPLET i686-w64-mingw32)
# The -posix variant: GCC's default -win32 thread model has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${TERN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TERN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TERN_MINGW_TRIPLET}-windres)

# The libraries built by scripts/build-windows-deps; "current" follows their latest build, so a
# configured build directory picks up rebuilt libraries without reconfiguring.
if(NOT TERN_WINDOWS_DEPS)
    if(DEFINED ENV{TERN_WINDOWS_DEPS})
        set(TERN_WINDOWS_DEPS "$ENV{TERN_WINDOWS_DEPS}")
    elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(TERN_WINDOWS_DEPS "$ENV{XDG_CACHE_HOME}/tern/windows-deps/current")
    else()
        set(TERN_WINDOWS_DEPS "$ENV{HOME}/.cache/tern/windows-deps/current")
    endif()
endif()
set(TERN_WINDOWS_DEPS "${TERN_WINDOWS_DEPS}" CACHE PATH "Libraries built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TERN_WINDOWS_DEPS)

# Headers and libraries come only from the mingw sysroot and the libraries built for Windows,
# never from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${TERN_MINGW_TRIPLET} "${TERN_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Boost.Tokenizer is header-only: this directory holds nothing but boost/, so adding it to
# the include path cannot shadow other headers with the build machine's.
set(BOOST_INCLUDEDIR "${TERN_WINDOWS_DEPS}/boost-include")
set(Boost_NO_SYSTEM_PATHS ON)
set(ENV{PKG_CONFIG_LIBDIR} "${TERN_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# widl with -I"${TERN_WINDOWS_IDL}" compiles IDL files that import the system's interfaces.
find_program(TERN_WIDL NAMES ${TERN_MINGW_TRIPLET}-widl)
set(TERN_WINDOWS_IDL "${TERN_WINDOWS_DEPS}/idl")

# Static C and C++ runtimes and winpthreads: the programs need no mingw DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# CTest runs the programs under Wine. Debug channels and the Mono and Gecko installers are off
# by default: they only add noise and, on a new prefix, a long first start.
find_program(TERN_WINE NAMES wine)
set(TERN_WINE_ENV "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml="
    CACHE STRING "Environment for Wine when running Windows programs")
if(TERN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${TERN_WINE_ENV} ${TERN_WINE})
endif()
