# Bare-metal RISC-V 64 with clang and lld: no operating system, no C library, nothing to run while
# configuring, so CMake checks the compilers by building a static library.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
find_program(CMAKE_C_COMPILER NAMES clang clang-16 clang-15 clang-14 REQUIRED)
set(CMAKE_C_COMPILER_TARGET riscv64-unknown-elf)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
set(CMAKE_ASM_COMPILER_TARGET riscv64-unknown-elf)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_FLAGS_INIT "-march=rv64imac -mabi=lp64 -mcmodel=medany -ffreestanding -fno-builtin")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
