# Boots IMAGE on qemu-system-riscv64's virt board with no firmware ("-bios none": the reset code jumps
# to RAM, where the image is loaded) and checks what the program prints and its exit status. The
# image's entry point must be its first byte, RAM. A raw image (.img) is loaded at RAM; Intel HEX and
# ELF files carry their addresses.
#   cmake -DQEMU=... -DRAM=0x80000000 -DIMAGE=hello.img -DENTRY_FILE=hello.entry -P boot.cmake
if(NOT QEMU)
  message(FATAL_ERROR "qemu-system-riscv64 was not found (Debian: qemu-system-misc)")
endif()
file(READ ${ENTRY_FILE} entry)
string(STRIP "${entry}" entry)
if(NOT entry STREQUAL RAM)
  message(FATAL_ERROR "entry point ${entry}, expected ${RAM}")
endif()
set(loader file=${IMAGE})
if(IMAGE MATCHES "\\.img$")
  string(APPEND loader ",addr=${RAM},force-raw=on")
endif()
execute_process(
  COMMAND ${QEMU} -machine virt -bios none -display none -monitor none -serial stdio -no-reboot
          -device loader,${loader}
  TIMEOUT 30 RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
set(expected "hello from the virt board\nrelocated by pieshift\n")
if(NOT status STREQUAL "0" OR NOT output STREQUAL expected)
  message(FATAL_ERROR "exit status ${status}, output:\n${output}${errors}")
endif()
message(STATUS "booted: ${output}")
