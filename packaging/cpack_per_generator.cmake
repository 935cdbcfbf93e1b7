# Only the .deb gets a prefix; the archive holds the bare install tree.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/ualib)
  # The .deb's binaries are stripped by the debug-symbol split below, which moves
  # their debug info into ualib-dbgsym (a .ddeb, found by build id under
  # /usr/lib/debug). Stripping them first would leave it nothing to split.
  set(CPACK_STRIP_FILES FALSE)
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
endif()
