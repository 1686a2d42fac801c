# Cross-builds the project for 64-bit Windows with Debian's mingw-w64 (posix threads):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=scripts/windows/mingw-w64.cmake \
#         -DCMAKE_PREFIX_PATH=$(scripts/windows/build-qt.sh)
# The project then runs its test executables and the tools the build uses under Wine,
# through wine-run.sh (CMAKE_CROSSCOMPILING_EMULATOR, set in CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_TRIPLET}-windres)

# Libraries and headers of the target only; programs (moc, uic, rcc) of the host. Packages
# from CMAKE_PREFIX_PATH too, which names the Qt built for Windows.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
