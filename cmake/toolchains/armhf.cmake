# 32-bit ARM (hard float) with Debian's cross toolchain, against the armhf
# multiarch packages in /usr/lib/arm-linux-gnueabihf (dpkg --add-architecture
# armhf; scripts/setup armhf installs them). Programs built here run on this
# machine through qemu-arm: the tests, test discovery and every executable a
# test starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes every call whose argument passing changed in old GCC releases;
# nothing here mixes code built by those.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# The libraries' own dynamic loader (/lib/ld-linux-armhf.so.3, from
# libc6:armhf) resolves them, so qemu-arm needs no -L.
find_program(DVRCORE_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DVRCORE_QEMU_ARM})

# Only armhf libraries: the host's pkg-config must not hand out amd64 paths.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
