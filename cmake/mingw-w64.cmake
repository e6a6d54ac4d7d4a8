# Cross build for 64-bit Windows with mingw-w64; tests run under Wine as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PMTSYS_MINGW_PREFIX x86_64-w64-mingw32)
# The -posix thread model: GoogleTest needs std::mutex, absent from the win32 model.
set(CMAKE_C_COMPILER ${PMTSYS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PMTSYS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PMTSYS_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PMTSYS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# The runtimes are linked in, so the DLL and the tests import only system DLLs.
# (System DLLs have only import libraries, so -static leaves them dynamic.)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
