# Read by cpack for a cross build: dpkg-shlibdeps then reads the binaries
# with the target's objdump and finds their libraries in the target's
# multiarch folders.
if(CPACK_DVRCORE_DEB_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} ${CPACK_DVRCORE_DEB_HOST_ARCH})
endif()
