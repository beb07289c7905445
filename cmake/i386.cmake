# Toolchain file of the 32-bit flavour: the host compilers with -m32 (Debian's
# gcc-multilib / g++-multilib provide the 32-bit C and C++ libraries).  The host
# stays "Linux on x86", so this is not treated as cross-compiling; whether the
# kernel can run the results natively is probed by the top-level CMakeLists.txt.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
