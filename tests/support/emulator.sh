# Sourced by the script tests: $emulator, the command that runs a program of
# the build folder. In a cross build CTest hands over the emulator the test
# programs run under (VORTANIX_TEST_EMULATOR: the emulator and its arguments,
# separated by blanks; tests/CMakeLists.txt), for a run by hand set it the same
# way; natively it is empty and the programs run as they are. Use it as
# "${emulator[@]}" "$program" ...: a program started in the background is then
# the emulator's process, which passes signals on to the program.
read -r -a emulator <<<"${VORTANIX_TEST_EMULATOR:-}"
