# Shared part of the mingw-w64 toolchain files; they set LUCSP_MINGW_TRIPLE and the processor first.
# The posix thread model is the one whose libstdc++ has std::thread and std::mutex; its winpthread
# is linked statically below, like libgcc and libstdc++, so the DLL needs no mingw runtime DLLs.
find_program(CMAKE_C_COMPILER NAMES ${LUCSP_MINGW_TRIPLE}-gcc-posix ${LUCSP_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LUCSP_MINGW_TRIPLE}-g++-posix ${LUCSP_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LUCSP_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${LUCSP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_lucsp_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_lucsp_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_lucsp_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_lucsp_static_runtime}")
unset(_lucsp_static_runtime)

# Lets add_test() and gtest_discover_tests() run the cross-built programs (scripts/deps/install-wine.sh).
find_program(LUCSP_WINE NAMES wine)
if(LUCSP_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LUCSP_WINE})
endif()
