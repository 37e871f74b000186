# Read by cpack before it builds the packages.

# Each package's description starts with its own synopsis line: without
# this, CPack would put the project's one-line summary in front of it.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)

# For a cross build, dpkg-shlibdeps must read the binaries with the target's
# objdump and find their libraries in the target's multiarch folders.
if(CPACK_DVRCORE_DEB_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} ${CPACK_DVRCORE_DEB_HOST_ARCH})
endif()
