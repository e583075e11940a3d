# Cross build of the Windows program with Debian's mingw-w64 (x86_64).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DKV_WINDOWS_PREFIXES="<openssl prefix>;<googletest prefix>"
#
# The posix thread model compilers are named on purpose: the default win32
# model of gcc 12 has no std::thread. Everything links with -static so that
# the executables need only the DLLs every Windows has (no libwinpthread,
# libstdc++ or libgcc DLL). scripts/build-windows.sh drives all of this.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLE}-windres)

# Libraries built for this target (OpenSSL, GoogleTest) live in their own
# prefixes; they are searched like the mingw sysroot, never the host's /usr.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KV_WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLE} ${KV_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C runtime's own printf knows neither %zu nor %lld; mingw-w64's C99
# implementation does, and the program uses it throughout. gcc still checks
# printf formats against the old dialect here, so that check is left to the
# Linux build, which compiles the same calls. M_PI and friends need asking for.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -D_USE_MATH_DEFINES -Wno-format")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

set(OPENSSL_USE_STATIC_LIBS TRUE)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Static OpenSSL needs these system libraries after it on every link line.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32")
set(CMAKE_C_STANDARD_LIBRARIES "${CMAKE_CXX_STANDARD_LIBRARIES}")
