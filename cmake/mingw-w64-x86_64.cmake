# Cross-builds zeftil.exe for 64-bit Windows with Debian's MinGW-w64 (the
# g++-mingw-w64-x86-64-posix package), and runs the tests under Wine (wine64):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win -j2
#   ctest --test-dir build-win
#
# Every program is linked statically, so zeftil.exe carries libstdc++, libgcc
# and winpthread inside and needs nothing on a Windows machine but the system's
# own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# Release builds leave the symbol table out: a third of the size.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT -s)

# Test programs run under Wine, headless and quiet, in a Wine prefix of their
# own inside the build folder (made on first use). Give
# -DCMAKE_CROSSCOMPILING_EMULATOR=... to run them some other way.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ZEFTIL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
  find_program(ZEFTIL_WINESERVER NAMES wineserver PATHS /usr/lib/wine)
  if(ZEFTIL_WINE)
    set(ZEFTIL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
    set(ZEFTIL_WINE_ENV WINEPREFIX=${ZEFTIL_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY=)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${ZEFTIL_WINE_ENV} ${ZEFTIL_WINE})
  endif()
endif()
