# Shared part of the mingw-w64 cross toolchains; the including file sets VOXTREL_MINGW_TRIPLET
# and CMAKE_SYSTEM_PROCESSOR. The posix thread model gives the full standard library (std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VOXTREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOXTREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VOXTREL_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VOXTREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Self-contained executables: no libstdc++, libgcc or winpthread DLLs next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The test programs cannot run on the build machine, so their tests are listed when CTest runs.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
