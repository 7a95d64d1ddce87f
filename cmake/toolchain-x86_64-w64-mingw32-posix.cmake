# The 64-bit Windows cross-build with MinGW's POSIX thread model, whose C++ library has the
# std::mutex that GoogleTest needs; the product builds keep the Win32 thread model.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-x86_64-w64-mingw32.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
