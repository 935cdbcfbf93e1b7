# Only the .deb gets a prefix; the archive holds the bare install tree.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/ualib)
endif()
